#include "qvBinaryData.h"

#include "Streams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

TqvBinaryData::TqvBinaryData(int32_t ASize) { Allocate(ASize); }

TqvBinaryData::~TqvBinaryData() { Clear(); }

void TqvBinaryData::FreeData(uint8_t*& P) noexcept {
  std::free(P);
  P = nullptr;
}

void TqvBinaryData::AllocData(uint8_t*& P, int32_t ASize) {
  P = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(ASize)));
  if (P == nullptr) throw std::bad_alloc();
}

void TqvBinaryData::Allocate(int32_t ASize) {
  Clear();
  DataSize = ASize;
  if (ASize > 0) AllocData(Data, ASize);
}

void TqvBinaryData::Clear() {
  if (Data != nullptr) FreeData(Data);
  Data = nullptr;
  DataSize = 0;
}

void TqvBinaryData::AssignBytes(const TBytes& ABytes) {
  AssignRange(ABytes, 0, static_cast<int>(ABytes.size()));
}

void TqvBinaryData::AssignRange(const TBytes& ABytes, int AStart, int ACount) {
  Clear();
  if (AStart < 0 || static_cast<size_t>(AStart) >= ABytes.size() || ACount < 1) return;
  const size_t n = std::min(static_cast<size_t>(ACount), ABytes.size() - static_cast<size_t>(AStart));
  Allocate(static_cast<int32_t>(n));
  std::memcpy(Data, ABytes.data() + AStart, n);
}

void TqvBinaryData::AssignStream(TStream& AStream) { ReadFromStream(AStream, AStream.Size()); }

void TqvBinaryData::ReadFromStream(TStream& AStream, int64_t ACount) {
  Clear();
  const int64_t left = AStream.Size() - AStream.Position();
  const int64_t n = std::min(ACount, left);
  if (n < 1) return;
  Allocate(static_cast<int32_t>(std::min<int64_t>(n, 0x7FFFFFFF)));
  AStream.ReadBuffer(Data, DataSize);
}

void TqvBinaryData::Reduce(int32_t ASize) {
  if (ASize < DataSize) DataSize = ASize;
}

TBytes TqvBinaryData::ToBytes() const {
  if (DataSize <= 0 || Data == nullptr) return {};
  return TBytes(Data, Data + DataSize);
}

void TqvBinaryData::WriteTo(TStream& AStream) const {
  if (DataSize > 0 && Data != nullptr) AStream.WriteBuffer(Data, DataSize);
}

std::u16string TqvBinaryData::ToWideString() const {
  if (DataSize < 2 || Data == nullptr) return {};
  std::u16string w(static_cast<size_t>(DataSize / 2), u'\0');
  std::memcpy(w.data(), Data, w.size() * 2);
  if (w.back() == u'\0') w.pop_back();
  return w;
}
