// IPv4 network values of the expression language: the cidr family, its
// parser from "a.b.c.d[/n]" text, the containment test and the text form.
// Values are immutable and shared; a null pointer is the undefined address.
#ifndef TVX_CONF_PARSER_CIDR_H
#define TVX_CONF_PARSER_CIDR_H

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class cidr_v4;

// An address range. Held only through cidr_ptr; never copied.
class cidr {
public:
    cidr() = default;
    cidr(const cidr &) = delete;
    cidr &operator=(const cidr &) = delete;

    // True when other lies within this range (double dispatch on other's type).
    virtual bool contains(const cidr &other) const = 0;
    virtual bool contains(const cidr_v4 &other) const = 0;
    // True when this range lies within other.
    virtual bool belongs(const cidr &other) const = 0;
    virtual bool belongs(const cidr_v4 &other) const = 0;
    // Text form for the configuration dump.
    virtual std::string to_string() const = 0;
    virtual ~cidr();
};

typedef std::shared_ptr<const cidr> cidr_ptr;

// An IPv4 network: address as written (host bits kept) and netmask, both in
// host byte order.
class cidr_v4 final : public cidr {
public:
    cidr_v4(uint32_t addr, uint32_t mask) : addr_(addr), mask_(mask) {}

    bool contains(const cidr &other) const override;
    bool contains(const cidr_v4 &other) const override;
    bool belongs(const cidr &other) const override;
    bool belongs(const cidr_v4 &other) const override;
    // "a.b.c.d/m.m.m.m"
    std::string to_string() const override;

    uint32_t addr() const { return addr_; }
    uint32_t mask() const { return mask_; }

private:
    uint32_t addr_;
    uint32_t mask_;
};

// Raised by make_cidr for text that is not a network: "No mask",
// "Invalid mask", "Error converting address".
class make_cidr_error : public std::runtime_error {
public:
    explicit make_cidr_error(const std::string &what) : std::runtime_error(what) {}
};

// Parses "a.b.c.d" (a /32) or "a.b.c.d/n" (n from 0 to 32); the empty text is
// the undefined address (null). A prefix that is not a decimal number throws
// boost::bad_lexical_cast; everything else throws make_cidr_error.
cidr_ptr make_cidr(const std::string &text);

// Converts a text of decimal digits to unsigned. Anything else (empty, a
// sign, blanks, a value above UINT_MAX) throws boost::bad_lexical_cast.
unsigned cf_to_unsigned(const std::string &digits);

// The "<<=" test: does left lie within right? An undefined left belongs only
// to an undefined right; a defined left never belongs to an undefined right.
bool cidr_belongs(const cidr_ptr &left, const cidr_ptr &right);

#endif
