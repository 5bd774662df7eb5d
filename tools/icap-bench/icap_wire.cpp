// Requests icap-bench sends and the strict parser of the replies. A reply
// counts only when every byte of it is what an echoing ICAP server must send;
// lengths and offsets from the server are bounded before they are trusted.
#include "icap_wire.h"

#include "tavexd/tvd_eicar.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

const size_t k_head_max = 65536;        // longest reply head accepted
const uint64_t k_headers_max = 1 << 20;  // longest encapsulated HTTP headers accepted
const size_t k_line_max = 4096;          // longest chunk-size or trailer line accepted
const uint64_t k_chunk_max = uint64_t(1) << 40;

const char *const k_req_line = "GET http://bench.example/object.bin HTTP/1.1";
const char *const k_res_line = "HTTP/1.1 200 OK";

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

void append_chunks(std::string &out, const std::string &body, size_t from, size_t to, size_t chunk)
{
    char line[32];
    while (from < to) {
        size_t n = to - from < chunk ? to - from : chunk;
        snprintf(line, sizeof line, "%zx\r\n", n);
        out += line;
        out.append(body, from, n);
        out += "\r\n";
        from += n;
    }
}

const char *find_crlf(const char *p, size_t len)
{
    for (size_t i = 0; i + 1 < len; ++i)
        if (p[i] == '\r' && p[i + 1] == '\n')
            return p + i;
    return nullptr;
}

bool is_body_name(const std::string &n)
{
    return n == "req-body" || n == "res-body" || n == "opt-body";
}

}  // namespace

std::string bench_body_bytes(size_t n)
{
    std::string b(n, '\0');
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = static_cast<char>(x >> 24);
    }
    return b;
}

bench_request bench_build_request(const bench_options &o, bench_mode method)
{
    bench_request r;
    r.method = method;
    if (method == bench_mode::raw) {
        r.body = bench_body_bytes(o.body_size);
        r.first = r.body;
        return r;
    }
    std::string authority = o.host + ":" + std::to_string(o.port);
    const char *name = method == bench_mode::options ? "OPTIONS"
                       : method == bench_mode::reqmod ? "REQMOD"
                                                      : "RESPMOD";
    std::string head = std::string(name) + " icap://" + authority + "/" + o.service +
                       " ICAP/1.0\r\nHost: " + authority + "\r\nUser-Agent: icap-bench\r\n";
    if (o.close_each)
        head += "Connection: close\r\n";
    if (method == bench_mode::options) {
        r.first = head + "Encapsulated: null-body=0\r\n\r\n";
        return r;
    }
    if (o.allow_204)
        head += "Allow: 204\r\n";
    std::string req_hdr = std::string(k_req_line) +
                          "\r\nHost: bench.example\r\nUser-Agent: icap-bench\r\nAccept: */*\r\n\r\n";
    if (method == bench_mode::reqmod) {
        r.first_line = k_req_line;
        r.may_204 = o.allow_204;
        r.first = head + "Encapsulated: req-hdr=0, null-body=" + std::to_string(req_hdr.size()) +
                  "\r\n\r\n" + req_hdr;
        return r;
    }
    r.body = bench_body_bytes(o.body_size);
    if (o.infected) {
        std::string eicar = tvd_eicar();
        r.body.replace(0, std::min(eicar.size(), r.body.size()), eicar, 0, std::min(eicar.size(), r.body.size()));
        r.page = true;
    }
    r.first_line = k_res_line;
    std::string res_hdr = std::string(k_res_line) +
                          "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                          std::to_string(o.body_size) + "\r\n\r\n";
    if (o.preview >= 0)
        head += "Preview: " + std::to_string(o.preview) + "\r\n";
    head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size()) +
            ", res-body=" + std::to_string(req_hdr.size() + res_hdr.size()) + "\r\n\r\n";
    r.first = head + req_hdr + res_hdr;
    size_t size = r.body.size();
    if (o.preview < 0) {
        append_chunks(r.first, r.body, 0, size, o.chunk);
        r.first += "0\r\n\r\n";
        r.may_204 = o.allow_204;
        return r;
    }
    // A server may answer a preview with 204 whether or not Allow: 204 was sent.
    r.may_204 = true;
    size_t p = static_cast<size_t>(o.preview);
    if (size <= p) {
        append_chunks(r.first, r.body, 0, size, o.chunk);
        r.first += "0; ieof\r\n\r\n";
        return r;
    }
    append_chunks(r.first, r.body, 0, p, o.chunk);
    r.first += "0\r\n\r\n";
    r.preview_open = true;
    append_chunks(r.rest, r.body, p, size, o.chunk);
    r.rest += "0\r\n\r\n";
    return r;
}

void reply_parser::reset(const bench_request *req)
{
    req_ = req;
    state_ = req->method == bench_mode::raw ? state::raw : state::head;
    status_ = 0;
    close_ = false;
    got_100_ = false;
    entities_.clear();
    headers_len_ = 0;
    body_expected_ = false;
    body_checked_ = false;
    chunk_left_ = 0;
    body_got_ = 0;
    error_.clear();
}

reply_step reply_parser::fail(const std::string &why)
{
    error_ = why;
    state_ = state::done;
    return reply_step::error;
}

reply_step reply_parser::parse_head(const char *data, size_t len, size_t &used)
{
    const char *end = static_cast<const char *>(memmem(data, len, "\r\n\r\n", 4));
    if (!end) {
        if (len > k_head_max)
            return fail("reply head too long");
        return reply_step::more;
    }
    size_t head_len = static_cast<size_t>(end - data) + 4;
    std::string head(data, head_len - 2);
    used += head_len;

    size_t eol = head.find("\r\n");
    std::string line = head.substr(0, eol);
    if (line.size() < 12 || line.compare(0, 9, "ICAP/1.0 ") != 0 || !isdigit((unsigned char)line[9]) ||
        !isdigit((unsigned char)line[10]) || !isdigit((unsigned char)line[11]) ||
        (line.size() > 12 && line[12] != ' '))
        return fail("bad status line");
    status_ = std::stoi(line.substr(9, 3));

    bool have_istag = false, have_methods = false, have_encapsulated = false;
    std::string encapsulated;
    for (size_t pos = eol + 2; pos < head.size();) {
        size_t next = head.find("\r\n", pos);
        std::string field = head.substr(pos, next - pos);
        pos = next + 2;
        // A line that starts with a blank or a tab continues the field before
        // it (X-Violations-Found lists its records so).
        if (!field.empty() && (field[0] == ' ' || field[0] == '\t'))
            continue;
        size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0)
            return fail("bad header line in reply head");
        std::string name = lower(field.substr(0, colon));
        std::string value = trim(field.substr(colon + 1));
        if (name == "istag")
            have_istag = true;
        else if (name == "methods")
            have_methods = true;
        else if (name == "connection")
            close_ = lower(value).find("close") != std::string::npos;
        else if (name == "encapsulated") {
            if (have_encapsulated)
                return fail("Encapsulated twice");
            have_encapsulated = true;
            encapsulated = value;
        }
    }

    if (status_ == 100) {
        if (!req_->preview_open || got_100_)
            return fail("100 Continue not asked for");
        got_100_ = true;
        state_ = state::head;
        return reply_step::interim;
    }
    if (!have_istag)
        return fail("reply without ISTag");

    // Encapsulated: name=offset pairs, offsets rising from 0, a body last.
    for (size_t pos = 0; have_encapsulated && pos < encapsulated.size();) {
        size_t comma = encapsulated.find(',', pos);
        std::string tok = trim(encapsulated.substr(pos, comma == std::string::npos ? std::string::npos
                                                                                   : comma - pos));
        pos = comma == std::string::npos ? encapsulated.size() : comma + 1;
        size_t eq = tok.find('=');
        if (eq == std::string::npos || eq + 1 >= tok.size() || tok.size() - eq - 1 > 10)
            return fail("bad Encapsulated token");
        std::string name = tok.substr(0, eq);
        uint64_t off = 0;
        for (size_t i = eq + 1; i < tok.size(); ++i) {
            if (!isdigit((unsigned char)tok[i]))
                return fail("bad Encapsulated offset");
            off = off * 10 + static_cast<uint64_t>(tok[i] - '0');
        }
        if (name != "req-hdr" && name != "res-hdr" && name != "null-body" && !is_body_name(name))
            return fail("unknown Encapsulated entity " + name);
        if (!entities_.empty()) {
            const std::string &prev = entities_.back().name;
            if (prev == "null-body" || is_body_name(prev))
                return fail("Encapsulated entity after the body");
            if (off <= entities_.back().offset)
                return fail("Encapsulated offsets not rising");
        } else if (off != 0) {
            return fail("first Encapsulated offset not 0");
        }
        entities_.push_back({name, off});
    }
    if (!entities_.empty()) {
        const std::string &last = entities_.back().name;
        if (last != "null-body" && !is_body_name(last))
            return fail("Encapsulated ends without a body entity");
        headers_len_ = entities_.back().offset;
        body_expected_ = is_body_name(last);
        if (headers_len_ > k_headers_max)
            return fail("encapsulated headers too long");
    }

    auto has = [&](const char *n) {
        for (const entity &e : entities_)
            if (e.name == n)
                return true;
        return false;
    };
    if (status_ == 204) {
        if (!req_->may_204)
            return fail("204 without Allow: 204 or preview");
        if (headers_len_ || body_expected_)
            return fail("204 with encapsulated data");
    } else if (status_ == 200) {
        switch (req_->method) {
        case bench_mode::options:
            if (!have_methods)
                return fail("OPTIONS reply without Methods");
            break;
        case bench_mode::reqmod:
            if (!has("req-hdr") || body_expected_ || has("res-hdr"))
                return fail("REQMOD reply is not the request header with null-body");
            break;
        default:
            if (!has("res-hdr") || !has("res-body"))
                return fail("RESPMOD reply without res-hdr and res-body");
            body_checked_ = !req_->page;
            break;
        }
    } else {
        return fail("status " + std::to_string(status_));
    }
    state_ = headers_len_ ? state::headers : body_expected_ ? state::chunk_size : state::done;
    return reply_step::more;
}

reply_step reply_parser::check_headers(const char *data)
{
    for (size_t i = 0; i + 1 < entities_.size(); ++i) {
        const entity &e = entities_[i];
        size_t len = static_cast<size_t>(entities_[i + 1].offset - e.offset);
        const char *h = data + e.offset;
        const char *blank = static_cast<const char *>(memmem(h, len, "\r\n\r\n", 4));
        if (!blank || static_cast<size_t>(blank - h) + 4 != len)
            return fail(e.name + " does not end where Encapsulated says");
        const char *eol = find_crlf(h, len);
        bool wanted = (req_->method == bench_mode::reqmod && e.name == "req-hdr") ||
                      (req_->method == bench_mode::respmod && e.name == "res-hdr");
        if (wanted && !req_->page && std::string(h, static_cast<size_t>(eol - h)) != req_->first_line)
            return fail(e.name + " first line changed");
    }
    state_ = body_expected_ ? state::chunk_size : state::done;
    return reply_step::more;
}

reply_step reply_parser::finish()
{
    if (body_checked_ && body_got_ != req_->body.size())
        return fail("echoed body shorter than sent");
    state_ = state::done;
    return reply_step::final;
}

reply_step reply_parser::feed(const char *data, size_t len, size_t &used)
{
    used = 0;
    for (;;) {
        const char *p = data + used;
        size_t n = len - used;
        switch (state_) {
        case state::done:
            return finish();
        case state::head: {
            reply_step s = parse_head(p, n, used);
            if (s != reply_step::more || used == 0)
                return s;
            break;
        }
        case state::headers: {
            if (n < headers_len_)
                return reply_step::more;
            reply_step s = check_headers(p);
            if (s == reply_step::error)
                return s;
            used += static_cast<size_t>(headers_len_);
            break;
        }
        case state::chunk_size: {
            const char *eol = find_crlf(p, n);
            if (!eol) {
                if (n > k_line_max)
                    return fail("chunk-size line too long");
                return reply_step::more;
            }
            uint64_t size = 0;
            const char *q = p;
            for (; q < eol && isxdigit((unsigned char)*q); ++q) {
                size = size * 16 + static_cast<uint64_t>(isdigit((unsigned char)*q) ? *q - '0'
                                                                                  : (tolower(*q) - 'a' + 10));
                if (size > k_chunk_max)
                    return fail("chunk size too large");
            }
            if (q == p)
                return fail("bad chunk-size line");
            while (q < eol && (*q == ' ' || *q == '\t'))
                ++q;
            if (q < eol && *q != ';')
                return fail("bad chunk-size line");
            used += static_cast<size_t>(eol - p) + 2;
            chunk_left_ = size;
            state_ = size ? state::chunk_data : state::trailer;
            break;
        }
        case state::chunk_data: {
            if (n == 0)
                return reply_step::more;
            size_t take = n < chunk_left_ ? n : static_cast<size_t>(chunk_left_);
            if (body_checked_) {
                if (body_got_ + take > req_->body.size())
                    return fail("echoed body longer than sent");
                if (memcmp(p, req_->body.data() + body_got_, take) != 0)
                    return fail("echoed body differs");
            }
            body_got_ += take;
            chunk_left_ -= take;
            used += take;
            if (!chunk_left_)
                state_ = state::chunk_end;
            break;
        }
        case state::chunk_end:
            if (n < 2)
                return reply_step::more;
            if (p[0] != '\r' || p[1] != '\n')
                return fail("chunk data not followed by CRLF");
            used += 2;
            state_ = state::chunk_size;
            break;
        case state::trailer: {
            const char *eol = find_crlf(p, n);
            if (!eol) {
                if (n > k_line_max)
                    return fail("trailer line too long");
                return reply_step::more;
            }
            used += static_cast<size_t>(eol - p) + 2;
            if (eol == p)
                return finish();
            break;
        }
        case state::raw: {
            size_t want = req_->body.size() - body_got_;
            size_t take = n < want ? n : want;
            if (memcmp(p, req_->body.data() + body_got_, take) != 0)
                return fail("echoed bytes differ");
            body_got_ += take;
            used += take;
            if (body_got_ == req_->body.size()) {
                state_ = state::done;
                return reply_step::final;
            }
            return reply_step::more;
        }
        }
    }
}
