// pid.cpp - PID spelling and validation.
#include "pid.h"

#include <cstdio>

namespace vorel::tool {

std::string pid_hex(uint32_t pid)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%06x", static_cast<unsigned>(pid));
    return buf;
}

std::string pid_problem(uint32_t pid)
{
    if (pid > kMaxPid)
        return "PID " + pid_hex(pid) + " is wider than 24 bits";
    if (pid_domain(pid) == 0)
        return "PID " + pid_hex(pid) + " has domain 0";
    return {};
}

namespace {

std::optional<uint64_t> parse_hex_digits(std::string_view digits)
{
    if (digits.empty() || digits.size() > 16)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        value = (value << 4) | d;
    }
    return value;
}

// 'text' in quotes.  Built by appending: GCC 12 misreads "literal" + string
// chains as overlapping copies (-Wrestrict).
std::string quoted(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    out.append(text);
    out += '\'';
    return out;
}

bool has_hex_prefix(std::string_view text)
{
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

} // namespace

std::optional<uint32_t> parse_pid(std::string_view text, std::string &error)
{
    const std::string_view digits = has_hex_prefix(text) ? text.substr(2) : text;
    const auto value = parse_hex_digits(digits);
    if (!value) {
        error = quoted(text);
        error += " is not a PID (expected hexadecimal, e.g. 0x010203)";
        return std::nullopt;
    }
    if (*value > 0xFFFFFFFFu) {
        error = "PID ";
        error += quoted(text);
        error += " is wider than 24 bits";
        return std::nullopt;
    }
    const auto pid = static_cast<uint32_t>(*value);
    if (std::string why = pid_problem(pid); !why.empty()) {
        error = why;
        return std::nullopt;
    }
    return pid;
}

std::optional<uint64_t> parse_number(std::string_view text)
{
    if (has_hex_prefix(text))
        return parse_hex_digits(text.substr(2));
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

} // namespace vorel::tool
