// Small helpers of the configuration-language tests: a request filled with
// the fields the expression context reads, the text of an exception and a
// boolean leaf that counts its evaluations.
#ifndef TVX_TESTS_CONF_PARSER_CF_TEST_UTIL_H
#define TVX_TESTS_CONF_PARSER_CF_TEST_UTIL_H

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include <ostream>

#include "conf_parser/expr.h"
#include "request/request.h"

namespace cf_test {

// A heap request (the record is large) with url, user, address and a start
// time at hour:minute today, local time (UTC for the tests, so that no
// daylight-saving change moves the hour).
inline std::unique_ptr<icap_request> make_request(const std::string &url, const std::string &ip = "",
                                                  const std::string &user = "", int hour = 12,
                                                  int minute = 0)
{
    std::unique_ptr<icap_request> rq(new icap_request());
    icap_request_reset(*rq);
    snprintf(rq->url, sizeof rq->url, "%s", url.c_str());
    snprintf(rq->client_ip, sizeof rq->client_ip, "%s", ip.c_str());
    snprintf(rq->client_username, sizeof rq->client_username, "%s", user.c_str());
    setenv("TZ", "UTC", 1);
    tzset();
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = 30;
    tm.tm_isdst = -1;
    rq->request_time = mktime(&tm);
    return rq;
}

// The what() text of the exception f throws, or "no exception".
inline std::string error_of(const std::function<void()> &f)
{
    try {
        f();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "no exception";
}

// A boolean leaf with a fixed result that counts its evaluations.
class probe : public expr::expression {
public:
    probe(bool result, int *count) : result_(result), count_(count) {}
    bool evaluate(const expr_context &) const override { ++*count_; return result_; }
    void print(std::ostream &os, int indent) const override { expr::print_indent(os, indent); os << "probe\n"; }
    const char *name() const override { return "probe"; }
private:
    bool result_;
    int *count_;
};

}  // namespace cf_test

#endif
