// The process "ANSI code page" and the conversions between it (or any other
// code page) and UTF-16. Program strings are bytes in that code page; wide
// strings are UTF-16 in std::u16string. The code page is a process setting,
// 936 (GBK as glibc's "CP936") until changed; 65001 is UTF-8, any other number
// n is iconv's "CP<n>". What does not convert becomes "?" (an invalid byte, a
// character the code page lacks, a lone surrogate); combining marks
// U+0300..U+036F that cannot be joined to the character before them are
// dropped. Nothing raises. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// Code page 0 in the conversions means the process ANSI code page.
constexpr uint32_t CP_ACP = 0;
constexpr uint32_t CP_UTF8 = 65001;
constexpr uint32_t kDefaultAnsiCodePage = 936;

[[nodiscard]] uint32_t GetACP();
// Takes effect for conversions that start afterwards. 0 restores the default.
void SetACP(uint32_t ACodePage);

// The iconv name of a code page: "CP936", "UTF-8", ...
[[nodiscard]] std::string CodePageName(uint32_t ACodePage);

// Bytes in the code page to UTF-16. Empty gives empty; an unknown code page
// gives "?" for every byte above 127.
[[nodiscard]] std::u16string CodePageToWideString(std::string_view AText, uint32_t ACodePage);
// UTF-16 to bytes in the code page. Empty gives empty; an unknown code page
// gives "?" for every unit above 127.
[[nodiscard]] std::string WideStringToCodePage(std::u16string_view AText, uint32_t ACodePage);

}  // namespace plat
