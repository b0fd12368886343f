#include "qvDotStuffing.h"

#include <algorithm>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Streams.h"

namespace {

// Small enough to stay in the processor's cache between the read and the count.
constexpr int64_t kMeasureChunk = 128 * 1024;

}  // namespace

void TqvDotStuffingFilter::Add(std::string_view AData, std::string& AOut) {
  const size_t n = AData.size();
  const char* const p = AData.data();
  size_t i = 0;
  if (FAfterCR && n > 0) {
    FAfterCR = false;
    if (p[0] == '\n') i = 1;
  }
  if (i >= n) return;
  // NUL bytes are rare: looked for once per piece, per line only if any.
  const bool nuls = std::memchr(p + i, 0, n - i) != nullptr;
  AOut.reserve(AOut.size() + (n - i) + (n - i) / 32 + 2);
  // The first LF at or after i (n: none); searched again only once passed,
  // so a piece of lone CRs is not scanned to its end for every line.
  size_t lf = 0;
  bool lfKnown = false;
  while (i < n && !FDone) {
    if (FLineStart) {
      if (FStuff && p[i] == '.') AOut += '.';
      FLineStart = false;
    }
    if (!lfKnown || lf < i) {
      const void* at = std::memchr(p + i, '\n', n - i);
      lf = at ? static_cast<size_t>(static_cast<const char*>(at) - p) : n;
      lfKnown = true;
    }
    size_t end = lf;
    if (const void* cr = std::memchr(p + i, '\r', lf - i)) end = static_cast<size_t>(static_cast<const char*>(cr) - p);
    // A line ended by CR LF goes out with its own line break.
    const bool crlf = end + 1 < n && p[end] == '\r' && p[end + 1] == '\n';
    const size_t at = AOut.size();
    AOut.append(p + i, end - i + (crlf ? 2 : 0));
    if (nuls && std::memchr(p + i, 0, end - i))
      std::replace(AOut.begin() + static_cast<std::ptrdiff_t>(at),
                   AOut.begin() + static_cast<std::ptrdiff_t>(at + (end - i)), '\0', ' ');
    if (end > i) FHasText = true;
    if (end == n) return;  // the line goes on in the next piece
    if (!crlf) AOut += "\r\n";
    FLineStart = true;
    LineEnded();
    if (crlf || p[end] == '\n') {
      i = end + (crlf ? 2 : 1);
    } else if (end + 1 == n) {
      FAfterCR = true;
      return;
    } else {
      i = end + 1;  // a lone CR
    }
  }
}

void TqvDotStuffingFilter::LineEnded() {
  const bool empty = !FHasText;
  FHasText = false;
  if (FBodyLimit < 0) return;
  if (FInHeader) {
    if (!empty) return;
    FInHeader = false;
    FDone = FBodyLimit == 0;
  } else {
    FDone = ++FBodyLines >= FBodyLimit;
  }
}

void TqvDotStuffingFilter::Finish(std::string& AOut) {
  if (!FLineStart) AOut += "\r\n";
  FLineStart = true;
  FAfterCR = false;
}

namespace {

#if defined(__SSE2__)
// The sum of a vector's 16 byte lanes.
int64_t SumBytes(__m128i AV) {
  const __m128i sums = _mm_sad_epu8(AV, _mm_setzero_si128());
  return _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
}
#endif

}  // namespace

void TqvLineTextSize::Add(std::string_view AData) {
  const size_t n = AData.size();
  if (n == 0) return;
  const auto* p = reinterpret_cast<const unsigned char*>(AData.data());
  FBytes += static_cast<int64_t>(n);
  int64_t breaks = 0;
  int64_t pairs = FLastCR && p[0] == '\n' ? 1 : 0;  // a pair cut by the pieces
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time; each compare gives 0 or -1 per lane, so the
  // lane counters are summed up before they can overflow.
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (i + 17 <= n) {
    __m128i breakCount = _mm_setzero_si128();
    __m128i pairCount = _mm_setzero_si128();
    for (int round = 0; round < 127 && i + 17 <= n; ++round, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
      const __m128i crs = _mm_cmpeq_epi8(v, cr);
      breakCount = _mm_sub_epi8(breakCount, crs);
      breakCount = _mm_sub_epi8(breakCount, _mm_cmpeq_epi8(v, lf));
      pairCount = _mm_sub_epi8(pairCount, _mm_and_si128(crs, _mm_cmpeq_epi8(next, lf)));
    }
    breaks += SumBytes(breakCount);
    pairs += SumBytes(pairCount);
  }
#endif
  // The rest byte by byte; a pair that straddles into it was counted above.
  bool lastCR = false;
  for (; i < n; ++i) {
    const unsigned char c = p[i];
    if (c == '\n') {
      ++breaks;
      if (lastCR) ++pairs;
    } else if (c == '\r') {
      ++breaks;
    }
    lastCR = c == '\r';
  }
  FBreaks += breaks;
  FPairs += pairs;
  FLastCR = p[n - 1] == '\r';
  FOpenLine = p[n - 1] != '\r' && p[n - 1] != '\n';
}

int64_t TqvLineTextSize::Size() const {
  // Every line break byte ends a line but the LF of a pair; each line adds
  // CR LF and loses its own break bytes; an open last line adds its CR LF.
  const int64_t lines = FBreaks - FPairs + (FOpenLine ? 1 : 0);
  return FBytes - FBreaks + 2 * lines;
}

int64_t LineTextSize(TStream& AStream) {
  const int64_t start = AStream.Position();
  TqvLineTextSize size;
  if (auto* memory = dynamic_cast<TMemoryStream*>(&AStream)) {
    size.Add(std::string_view(memory->Memory() + start, static_cast<size_t>(std::max<int64_t>(0, memory->Size() - start))));
    return size.Size();
  }
  const auto buffer = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(kMeasureChunk));
  for (;;) {
    const int64_t n = AStream.Read(buffer.get(), kMeasureChunk);
    if (n <= 0) break;
    size.Add(std::string_view(buffer.get(), static_cast<size_t>(n)));
  }
  AStream.SetPosition(start);
  return size.Size();
}
