// IPv4 network values: parsing, containment and text form. Pure functions
// over immutable objects; no logging, no global state.
#include "conf_parser/cidr.h"

#include <arpa/inet.h>
#include <boost/lexical_cast.hpp>

cidr::~cidr() = default;

bool cidr_v4::contains(const cidr &other) const
{
    return other.belongs(*this);
}

// other lies within this range when its first and last addresses both do.
bool cidr_v4::contains(const cidr_v4 &other) const
{
    uint32_t first = addr_ & mask_, last = addr_ | ~mask_;
    uint32_t ofirst = other.addr_ & other.mask_, olast = other.addr_ | ~other.mask_;
    return first <= ofirst && last >= olast;
}

bool cidr_v4::belongs(const cidr &other) const
{
    return other.contains(*this);
}

bool cidr_v4::belongs(const cidr_v4 &other) const
{
    return other.contains(*this);
}

static std::string dotted(uint32_t v)
{
    return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xff) + "." +
           std::to_string((v >> 8) & 0xff) + "." + std::to_string(v & 0xff);
}

std::string cidr_v4::to_string() const
{
    return dotted(addr_) + "/" + dotted(mask_);
}

unsigned cf_to_unsigned(const std::string &digits)
{
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        throw boost::bad_lexical_cast();
    return boost::lexical_cast<unsigned>(digits);  // throws on overflow
}

cidr_ptr make_cidr(const std::string &text)
{
    if (text.empty())
        return cidr_ptr();

    std::string address = text;
    unsigned prefix = 32;
    std::string::size_type slash = text.find('/');
    if (slash != std::string::npos) {
        if (slash + 1 == text.size())
            throw make_cidr_error("No mask");
        prefix = cf_to_unsigned(text.substr(slash + 1));
        if (prefix > 32)
            throw make_cidr_error("Invalid mask");
        address = text.substr(0, slash);
    }

    struct in_addr in;
    if (inet_pton(AF_INET, address.c_str(), &in) != 1)
        throw make_cidr_error("Error converting address");

    uint32_t mask = prefix == 0 ? 0 : 0xffffffffu << (32 - prefix);
    return std::make_shared<const cidr_v4>(ntohl(in.s_addr), mask);
}

bool cidr_belongs(const cidr_ptr &left, const cidr_ptr &right)
{
    if (!left)
        return !right;
    if (!right)
        return false;
    return right->contains(*left);
}
