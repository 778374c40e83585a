// pid.h - reading and writing Fibre Channel port identifiers the way the
// vorel tool and its fabric files spell them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorel::tool {

inline constexpr uint32_t kMaxPid = 0xFFFFFFu;

inline uint32_t pid_domain(uint32_t pid) { return (pid >> 16) & 0xFFu; }

// "0x010203": six hexadecimal digits with the prefix.
std::string pid_hex(uint32_t pid);

// Why a PID cannot be stored: domain byte 0 or bits above 24 set; empty
// when the PID is fine.
std::string pid_problem(uint32_t pid);

// Parses "0x010203" or "010203" (hexadecimal, prefix optional).  Returns
// nothing and sets `error` for text that is not hexadecimal or a PID that
// pid_problem() refuses.
std::optional<uint32_t> parse_pid(std::string_view text, std::string &error);

// Parses an unsigned number in decimal, or hexadecimal with the 0x prefix.
std::optional<uint64_t> parse_number(std::string_view text);

} // namespace vorel::tool
