// Lists of byte strings. TStrings is the interface (storage left to the
// descendant) with everything that can be built on it: text, name=value pairs,
// search, assign, load and save. TStringList stores the lines, optionally
// sorted, each with an attached TObject* that is borrowed, or owned and freed
// by the list when it was built with OwnsObjects. Comparisons fold ASCII case
// only, unless CaseSensitive. Indexes out of range raise EListError
// "List index out of bounds (%d)". OnChanging/OnChange fire around each change,
// or once per outermost BeginUpdate/EndUpdate block that changed something.
// Not thread-safe.
#pragma once

#include "ClassCore.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TStream;

class TStrings : public TPersistent {
 public:
  TStrings() = default;
  TStrings(const TStrings&) = delete;
  TStrings& operator=(const TStrings&) = delete;
  VX_CLASS_NAME("TStrings")

  int Count() const { return GetCount(); }
  std::string Strings(int Index) const { return Get(Index); }
  void SetStrings(int Index, const std::string& S) { Put(Index, S); }
  TObject* Objects(int Index) const { return GetObject(Index); }
  void SetObjects(int Index, TObject* AObject) { PutObject(Index, AObject); }

  // The index the string landed at (a sorted list chooses it).
  virtual int Add(const std::string& S);
  virtual int AddObject(const std::string& S, TObject* AObject);
  virtual void Insert(int Index, const std::string& S) = 0;
  virtual void Delete(int Index) = 0;
  virtual void Clear() = 0;
  virtual void Exchange(int Index1, int Index2);
  // The first index of S, -1 when absent.
  [[nodiscard]] virtual int IndexOf(const std::string& S) const;
  [[nodiscard]] int IndexOfObject(const TObject* AObject) const;
  // Appends each string of Strings; objects are copied only into a list that
  // does not own its objects (an owner would free them twice).
  void AddStrings(const TStrings& Strings);
  // Replaces the contents with those of another TStrings.
  void Assign(const TPersistent& Source) override;
  // Same strings in the same order, compared byte for byte.
  [[nodiscard]] bool Equals(const TStrings& Strings) const;

  // Each line followed by LineBreak.
  std::string Text() const;
  // Splits at CR LF, LF or a lone CR; a final line break adds no empty line.
  void SetText(const std::string& Value);
  const std::string& LineBreak() const { return FLineBreak; }
  void SetLineBreak(const std::string& Value) { FLineBreak = Value; }

  char NameValueSeparator() const { return FNameValueSeparator; }
  void SetNameValueSeparator(char Value) { FNameValueSeparator = Value; }
  // The part before the first separator; "" for a line without one.
  std::string Names(int Index) const;
  // The value of the first line named Name; "" when there is none.
  std::string Values(const std::string& Name) const;
  // Replaces or adds "Name=Value"; an empty Value deletes the line.
  void SetValues(const std::string& Name, const std::string& Value);
  // The part after the first separator; "" for a line without one.
  std::string ValueFromIndex(int Index) const;
  [[nodiscard]] int IndexOfName(const std::string& Name) const;

  bool CaseSensitive() const { return FCaseSensitive; }
  virtual void SetCaseSensitive(bool Value) { FCaseSensitive = Value; }
  virtual bool OwnsObjects() const { return false; }

  void BeginUpdate();
  void EndUpdate();
  bool Updating() const { return FUpdateCount > 0; }

  // The whole of Stream from its position; bytes, no charset conversion.
  void LoadFromStream(TStream& Stream);
  void SaveToStream(TStream& Stream) const;
  // Raise the file stream errors (EFOpenError, EFCreateError, ...).
  void LoadFromFile(const std::string& FileName);
  void SaveToFile(const std::string& FileName) const;

  TNotifyEvent OnChange;
  TNotifyEvent OnChanging;

 protected:
  virtual std::string Get(int Index) const = 0;
  virtual void Put(int Index, const std::string& S);
  virtual TObject* GetObject(int Index) const;
  virtual void PutObject(int Index, TObject* AObject);
  virtual int GetCount() const = 0;
  // < 0, 0, > 0 under the CaseSensitive rule.
  virtual int CompareStrings(const std::string& S1, const std::string& S2) const;
  // Descendants call these around each change.
  void Changing();
  void Changed();
  [[noreturn]] static void RaiseIndexError(int Index);

 private:
  std::string FLineBreak = "\r\n";
  char FNameValueSeparator = '=';
  bool FCaseSensitive = false;
  int FUpdateCount = 0;
  bool FChangedInUpdate = false;
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList;
// < 0 when the item at Index1 sorts first; indexes stay valid while sorting.
using TStringListSortCompare = std::function<int(const TStringList& List, int Index1, int Index2)>;

class TStringList : public TStrings {
 public:
  explicit TStringList(bool AOwnsObjects = false) : FOwnsObjects(AOwnsObjects) {}
  ~TStringList() override = default;
  VX_CLASS_NAME("TStringList")

  // On a sorted list, a duplicate is dropped (dupIgnore, giving the existing
  // index), kept (dupAccept) or refused with EListError (dupError).
  int Add(const std::string& S) override;
  // An owning list adopts AObject; an ignored duplicate keeps its own object
  // (and an adopted AObject is freed).
  int AddObject(const std::string& S, TObject* AObject) override;
  // Transfers the object; raises EInvalidOperation when the list does not own objects.
  int AddObject(const std::string& S, std::unique_ptr<TObject> AObject);
  // Insert, SetStrings and Exchange raise EListError on a sorted list.
  void Insert(int Index, const std::string& S) override;
  void Delete(int Index) override;
  void Clear() override;
  void Exchange(int Index1, int Index2) override;
  [[nodiscard]] int IndexOf(const std::string& S) const override;

  // Binary search of a sorted list: true when found; Index is the first match
  // or where S would be inserted.
  bool Find(const std::string& S, int& Index) const;
  void Sort();
  // Stable; does nothing on a list kept sorted.
  void CustomSort(const TStringListSortCompare& Compare);

  bool Sorted() const { return FSorted; }
  void SetSorted(bool Value);
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates Value) { FDuplicates = Value; }
  void SetCaseSensitive(bool Value) override;
  bool OwnsObjects() const override { return FOwnsObjects; }

 protected:
  std::string Get(int Index) const override;
  void Put(int Index, const std::string& S) override;
  TObject* GetObject(int Index) const override;
  // On an owning list the previous object is freed and AObject adopted.
  void PutObject(int Index, TObject* AObject) override;
  int GetCount() const override { return static_cast<int>(FItems.size()); }

 private:
  struct TItem {
    std::string S;
    TObject* Borrowed = nullptr;
    std::unique_ptr<TObject> Owned;
  };

  void SortBy(const std::function<bool(int, int)>& Less);
  void CheckIndex(int Index) const;
  void CheckUnsorted() const;
  // Where S goes in a sorted list, or -1 for an ignored duplicate (raises on dupError).
  int SortedSlot(const std::string& S, int& Existing) const;
  void InsertItem(int Index, const std::string& S, TObject* Borrowed, std::unique_ptr<TObject> Owned);
  int AddItem(const std::string& S, TObject* Borrowed, std::unique_ptr<TObject> Owned);

  std::vector<TItem> FItems;
  bool FOwnsObjects;
  bool FSorted = false;
  TDuplicates FDuplicates = dupIgnore;
};

// A growable run of bytes. Past 1 MB it takes a block large enough that the
// allocator maps it on its own, and such a block grows by remapping its
// pages, never by copying: growing to N bytes never holds N bytes twice.
// Pages not yet written cost no memory. Moves, never copies.
class TByteBlock {
 public:
  TByteBlock() = default;
  TByteBlock(TByteBlock&& AOther) noexcept { Swap(AOther); }
  TByteBlock& operator=(TByteBlock&& AOther) noexcept {
    TByteBlock old(std::move(*this));
    Swap(AOther);
    return *this;
  }
  TByteBlock(const TByteBlock&) = delete;
  TByteBlock& operator=(const TByteBlock&) = delete;
  ~TByteBlock() = default;

  [[nodiscard]] char* Data() { return FData.get(); }
  [[nodiscard]] const char* Data() const { return FData.get(); }
  [[nodiscard]] size_t Size() const { return FSize; }
  [[nodiscard]] size_t Capacity() const { return FCapacity; }
  // Valid until the next change.
  [[nodiscard]] std::string_view View() const { return {FData.get(), FSize}; }
  // Raises EOutOfMemory when the system has no memory left.
  void Append(std::string_view ABytes);
  void Prepend(std::string_view ABytes);
  // Shorter keeps the first ASize bytes; longer adds bytes of no set value.
  void Resize(size_t ASize);
  // Room for ACapacity bytes in all (at least).
  void Reserve(size_t ACapacity);
  void EraseFront(size_t ACount);
  // Empty, keeping the memory for what comes next.
  void Clear() { FSize = 0; }
  // Empty, giving the memory back.
  void Free() { TByteBlock().Swap(*this); }
  void Swap(TByteBlock& AOther) noexcept {
    std::swap(FData, AOther.FData);
    std::swap(FSize, AOther.FSize);
    std::swap(FCapacity, AOther.FCapacity);
  }

 private:
  struct TFree {
    void operator()(char* p) const;
  };

  std::unique_ptr<char, TFree> FData;
  size_t FSize = 0;
  size_t FCapacity = 0;
};

// Lines as spans of one text block: a whole message costs its bytes plus 16
// bytes a line. AssignText adopts a block without copying it; lines inserted
// or replaced later are appended to the block (their old bytes stay until
// Clear), and inserting at the top is cheap. Holds no objects, never sorted.
class TBlockStringList : public TStrings {
 public:
  TBlockStringList() = default;
  VX_CLASS_NAME("TBlockStringList")

  void Insert(int Index, const std::string& S) override;
  void Delete(int Index) override;
  // Frees the block.
  void Clear() override;

  // Takes AText as the block and splits it as SetText does.
  void AssignText(TByteBlock AText);
  void AssignText(std::string_view AText);
  // The bytes of line Index; valid until the next change of the list.
  [[nodiscard]] std::string_view View(int Index) const;
  // Drops the first ACount bytes of line Index (no more than it has).
  void CutFront(int Index, size_t ACount);
  // The bytes the block holds, for the caller's memory accounting.
  [[nodiscard]] size_t BlockSize() const { return FText.Size(); }

 protected:
  std::string Get(int Index) const override { return std::string(View(Index)); }
  void Put(int Index, const std::string& S) override;
  int GetCount() const override { return static_cast<int>(FSpans.size() - FFront); }

 private:
  struct TSpan {
    size_t Offset;
    size_t Length;
  };
  void CheckIndex(int Index) const;
  TSpan Append(const std::string& S);

  TByteBlock FText;
  // Lines start at FFront: the free slots before it make top inserts cheap.
  std::vector<TSpan> FSpans;
  size_t FFront = 0;
};
