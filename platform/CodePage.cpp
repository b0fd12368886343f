#include "CodePage.h"

#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <utility>

namespace plat {

namespace {

std::atomic<uint32_t> gAnsiCodePage{kDefaultAnsiCodePage};

// Owns one conversion descriptor; iconv_close on destruction. Move-only.
class IconvHandle {
 public:
  IconvHandle() = default;
  IconvHandle(const char* ATo, const char* AFrom) : FCd(iconv_open(ATo, AFrom)) {}
  ~IconvHandle() { Reset(); }
  IconvHandle(IconvHandle&& o) noexcept : FCd(std::exchange(o.FCd, Invalid())) {}
  IconvHandle& operator=(IconvHandle&& o) noexcept {
    if (this != &o) {
      Reset();
      FCd = std::exchange(o.FCd, Invalid());
    }
    return *this;
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool Valid() const { return FCd != Invalid(); }
  iconv_t Get() const { return FCd; }

 private:
  static iconv_t Invalid() { return reinterpret_cast<iconv_t>(-1); }
  void Reset() {
    if (Valid()) iconv_close(FCd);
    FCd = Invalid();
  }
  iconv_t FCd = Invalid();
};

// A descriptor is not safe to share between threads, so each thread keeps its
// own pair, reopened only when the code page asked for changes.
struct CachedHandle {
  uint32_t CodePage = 0;
  bool Opened = false;
  IconvHandle Handle;
};

iconv_t Descriptor(CachedHandle& ACache, uint32_t ACodePage, bool AToWide) {
  if (!ACache.Opened || ACache.CodePage != ACodePage) {
    std::string name = CodePageName(ACodePage);
    ACache.Handle = AToWide ? IconvHandle("UTF-16LE", name.c_str())
                            : IconvHandle(name.c_str(), "UTF-16LE");
    ACache.CodePage = ACodePage;
    ACache.Opened = true;
  }
  if (!ACache.Handle.Valid()) return reinterpret_cast<iconv_t>(-1);
  // Start from the initial shift state whatever the last call left.
  iconv(ACache.Handle.Get(), nullptr, nullptr, nullptr, nullptr);
  return ACache.Handle.Get();
}

uint32_t Resolve(uint32_t ACodePage) { return ACodePage == CP_ACP ? GetACP() : ACodePage; }

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool IsCombiningMark(char16_t u) { return u >= 0x0300 && u <= 0x036F; }

struct Composition {
  char16_t Base;
  char16_t Mark;
  char16_t Composed;
};

// Latin letter + combining mark pairs whose precomposed form is in Latin-1 or
// in GBK, from python3's unicodedata NFC; sorted by (Base, Mark).
constexpr Composition kCompositions[] = {
    {0x0041, 0x0300, 0x00C0}, {0x0041, 0x0301, 0x00C1}, {0x0041, 0x0302, 0x00C2}, {0x0041, 0x0303, 0x00C3}, {0x0041, 0x0308, 0x00C4},
    {0x0041, 0x030A, 0x00C5}, {0x0041, 0x0340, 0x00C0}, {0x0041, 0x0341, 0x00C1}, {0x0043, 0x0327, 0x00C7}, {0x0045, 0x0300, 0x00C8},
    {0x0045, 0x0301, 0x00C9}, {0x0045, 0x0302, 0x00CA}, {0x0045, 0x0308, 0x00CB}, {0x0045, 0x0340, 0x00C8}, {0x0045, 0x0341, 0x00C9},
    {0x0049, 0x0300, 0x00CC}, {0x0049, 0x0301, 0x00CD}, {0x0049, 0x0302, 0x00CE}, {0x0049, 0x0308, 0x00CF}, {0x0049, 0x0340, 0x00CC},
    {0x0049, 0x0341, 0x00CD}, {0x004E, 0x0303, 0x00D1}, {0x004F, 0x0300, 0x00D2}, {0x004F, 0x0301, 0x00D3}, {0x004F, 0x0302, 0x00D4},
    {0x004F, 0x0303, 0x00D5}, {0x004F, 0x0308, 0x00D6}, {0x004F, 0x0340, 0x00D2}, {0x004F, 0x0341, 0x00D3}, {0x0055, 0x0300, 0x00D9},
    {0x0055, 0x0301, 0x00DA}, {0x0055, 0x0302, 0x00DB}, {0x0055, 0x0308, 0x00DC}, {0x0055, 0x0340, 0x00D9}, {0x0055, 0x0341, 0x00DA},
    {0x0059, 0x0301, 0x00DD}, {0x0059, 0x0341, 0x00DD}, {0x0061, 0x0300, 0x00E0}, {0x0061, 0x0301, 0x00E1}, {0x0061, 0x0302, 0x00E2},
    {0x0061, 0x0303, 0x00E3}, {0x0061, 0x0304, 0x0101}, {0x0061, 0x0308, 0x00E4}, {0x0061, 0x030A, 0x00E5}, {0x0061, 0x030C, 0x01CE},
    {0x0061, 0x0340, 0x00E0}, {0x0061, 0x0341, 0x00E1}, {0x0063, 0x0327, 0x00E7}, {0x0065, 0x0300, 0x00E8}, {0x0065, 0x0301, 0x00E9},
    {0x0065, 0x0302, 0x00EA}, {0x0065, 0x0304, 0x0113}, {0x0065, 0x0308, 0x00EB}, {0x0065, 0x030C, 0x011B}, {0x0065, 0x0340, 0x00E8},
    {0x0065, 0x0341, 0x00E9}, {0x0069, 0x0300, 0x00EC}, {0x0069, 0x0301, 0x00ED}, {0x0069, 0x0302, 0x00EE}, {0x0069, 0x0304, 0x012B},
    {0x0069, 0x0308, 0x00EF}, {0x0069, 0x030C, 0x01D0}, {0x0069, 0x0340, 0x00EC}, {0x0069, 0x0341, 0x00ED}, {0x006E, 0x0301, 0x0144},
    {0x006E, 0x0303, 0x00F1}, {0x006E, 0x030C, 0x0148}, {0x006E, 0x0341, 0x0144}, {0x006F, 0x0300, 0x00F2}, {0x006F, 0x0301, 0x00F3},
    {0x006F, 0x0302, 0x00F4}, {0x006F, 0x0303, 0x00F5}, {0x006F, 0x0304, 0x014D}, {0x006F, 0x0308, 0x00F6}, {0x006F, 0x030C, 0x01D2},
    {0x006F, 0x0340, 0x00F2}, {0x006F, 0x0341, 0x00F3}, {0x0075, 0x0300, 0x00F9}, {0x0075, 0x0301, 0x00FA}, {0x0075, 0x0302, 0x00FB},
    {0x0075, 0x0304, 0x016B}, {0x0075, 0x0308, 0x00FC}, {0x0075, 0x030C, 0x01D4}, {0x0075, 0x0340, 0x00F9}, {0x0075, 0x0341, 0x00FA},
    {0x0075, 0x0344, 0x01D8}, {0x0079, 0x0301, 0x00FD}, {0x0079, 0x0308, 0x00FF}, {0x0079, 0x0341, 0x00FD}, {0x00FC, 0x0300, 0x01DC},
    {0x00FC, 0x0301, 0x01D8}, {0x00FC, 0x0304, 0x01D6}, {0x00FC, 0x030C, 0x01DA}, {0x00FC, 0x0340, 0x01DC}, {0x00FC, 0x0341, 0x01D8},
};

// Joins each combining mark to the character before it when a precomposed
// form exists and drops it otherwise, as the code page could not show it.
std::u16string ComposeOrDropMarks(std::u16string_view AText) {
  std::u16string out;
  out.reserve(AText.size());
  for (char16_t u : AText) {
    if (!IsCombiningMark(u)) {
      out.push_back(u);
      continue;
    }
    if (out.empty()) continue;
    const Composition key{out.back(), u, 0};
    auto less = [](const Composition& a, const Composition& b) {
      return a.Base != b.Base ? a.Base < b.Base : a.Mark < b.Mark;
    };
    auto it = std::lower_bound(std::begin(kCompositions), std::end(kCompositions), key, less);
    if (it != std::end(kCompositions) && it->Base == key.Base && it->Mark == key.Mark)
      out.back() = it->Composed;
  }
  return out;
}

constexpr size_t kChunk = 4096;

}  // namespace

uint32_t GetACP() { return gAnsiCodePage.load(std::memory_order_relaxed); }

void SetACP(uint32_t ACodePage) {
  gAnsiCodePage.store(ACodePage == CP_ACP ? kDefaultAnsiCodePage : ACodePage,
                      std::memory_order_relaxed);
}

std::string CodePageName(uint32_t ACodePage) {
  ACodePage = Resolve(ACodePage);
  if (ACodePage == CP_UTF8) return "UTF-8";
  return "CP" + std::to_string(ACodePage);
}

// The conversion loop of both directions: AEmit gets each converted chunk;
// at an invalid sequence AInvalid (given where it starts) says how many input
// bytes to skip. A sequence cut off by the end, or any other failure, ends it.
template <class TEmit, class TInvalid>
void RunIconv(iconv_t ACd, char* AIn, size_t AInLeft, TEmit AEmit, TInvalid AInvalid) {
  char buf[kChunk];
  for (;;) {
    char* outp = buf;
    size_t outLeft = sizeof buf;
    const size_t r = iconv(ACd, &AIn, &AInLeft, &outp, &outLeft);
    const int err = errno;
    AEmit(buf, static_cast<size_t>(outp - buf));
    if (r != static_cast<size_t>(-1)) {
      if (AInLeft == 0) return;
      continue;
    }
    if (err == E2BIG) continue;
    const size_t skip = std::min(AInvalid(AIn), AInLeft);
    if (err != EILSEQ) return;
    AIn += skip;
    AInLeft -= skip;
    if (AInLeft == 0) return;
  }
}

std::u16string CodePageToWideString(std::string_view AText, uint32_t ACodePage) {
  std::u16string out;
  if (AText.empty()) return out;
  thread_local CachedHandle cache;
  iconv_t cd = Descriptor(cache, Resolve(ACodePage), true);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (char c : AText)
      out.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : u'?');
    return out;
  }
  out.reserve(AText.size());
  RunIconv(cd, const_cast<char*>(AText.data()), AText.size(),
           [&](const char* p, size_t n) {
             for (size_t i = 0; i + 1 < n; i += 2)
               out.push_back(static_cast<char16_t>(static_cast<unsigned char>(p[i]) |
                                                   static_cast<unsigned char>(p[i + 1]) << 8));
           },
           [&](char*) -> size_t {
             out.push_back(u'?');
             return 1;  // an invalid byte is skipped alone
           });
  return out;
}

std::string WideStringToCodePage(std::u16string_view AText, uint32_t ACodePage) {
  std::string out;
  if (AText.empty()) return out;
  std::u16string units = ComposeOrDropMarks(AText);
  thread_local CachedHandle cache;
  iconv_t cd = Descriptor(cache, Resolve(ACodePage), false);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (char16_t u : units) out.push_back(u < 0x80 ? static_cast<char>(u) : '?');
    return out;
  }
  std::string le;
  le.reserve(units.size() * 2);
  for (char16_t u : units) {
    le.push_back(static_cast<char>(u & 0xFF));
    le.push_back(static_cast<char>(u >> 8));
  }
  out.reserve(units.size());
  char* base = le.data();
  RunIconv(cd, base, le.size(), [&](const char* p, size_t n) { out.append(p, n); },
           [&](char* in) -> size_t {
             out.push_back('?');
             // One "?" per character: a surrogate pair the code page lacks is
             // skipped whole, any other failing unit (a lone surrogate too) alone.
             const size_t at = static_cast<size_t>(in - base) / 2;
             if (at + 1 < units.size() && IsHighSurrogate(units[at]) && IsLowSurrogate(units[at + 1])) return 4;
             return 2;
           });
  return out;
}

}  // namespace plat
