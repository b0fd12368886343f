// TqvBinaryData: an owned, malloc-backed byte buffer (Data, DataSize) filled
// from byte arrays or streams, with a charset tag for callers that keep text
// in it. An object belongs to one thread at a time. Errors: a failed
// allocation raises std::bad_alloc; stream errors pass through.
#pragma once

#include "ClassCore.h"

#include <cstdint>
#include <string>

class TStream;

// Owns Data (nullptr when empty) of DataSize bytes. A descendant that replaces
// AllocData/FreeData must call Clear in its own destructor, since the base
// destructor can only reach the base FreeData.
class TqvBinaryData : public TObject {
 public:
  TqvBinaryData() = default;
  // ASize > 0 allocates (contents undefined).
  explicit TqvBinaryData(int32_t ASize);
  ~TqvBinaryData() override;
  TqvBinaryData(const TqvBinaryData&) = delete;
  TqvBinaryData& operator=(const TqvBinaryData&) = delete;
  VX_CLASS_NAME("TqvBinaryData")

  // Frees, sets DataSize and allocates when ASize > 0 (a negative size leaves
  // DataSize negative and nothing allocated).
  void Allocate(int32_t ASize);
  void Clear();
  void AssignBytes(const TBytes& ABytes);
  // Clipped to the array; a count below 1 or a start outside it gives empty.
  void AssignRange(const TBytes& ABytes, int AStart, int ACount);
  // The rest of the stream / up to ACount bytes of it.
  void AssignStream(TStream& AStream);
  void ReadFromStream(TStream& AStream, int64_t ACount);
  // Only lowers DataSize; the memory stays.
  void Reduce(int32_t ASize);
  [[nodiscard]] TBytes ToBytes() const;
  void WriteTo(TStream& AStream) const;
  // DataSize div 2 UTF-16 units, one trailing NUL unit dropped.
  [[nodiscard]] std::u16string ToWideString() const;

  uint8_t* Data = nullptr;
  int32_t DataSize = 0;
  std::string CharSet;

 protected:
  virtual void FreeData(uint8_t*& P) noexcept;
  virtual void AllocData(uint8_t*& P, int32_t ASize);
};
