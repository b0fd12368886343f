#include "StringList.h"

#include "AsciiText.h"
#include "Streams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>

namespace {

constexpr char SameByte(char c) noexcept { return c; }

// Folded to upper case, as the class library sorts: "_" after the letters.
int CompareBytes(const std::string& a, const std::string& b, bool caseSensitive) {
  return plat::AsciiCompareText(a, b, caseSensitive ? SameByte : plat::AsciiUpper);
}

// Runs Body inside BeginUpdate/EndUpdate; the block is closed on an error too.
template <typename F>
void InUpdate(TStrings& list, F&& Body) {
  list.BeginUpdate();
  try {
    Body();
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

}  // namespace

// --- TStrings ---

void TStrings::RaiseIndexError(int Index) {
  throw EListError::OutOfBounds(Index);
}

int TStrings::Add(const std::string& S) {
  const int index = GetCount();
  Insert(index, S);
  return index;
}

int TStrings::AddObject(const std::string& S, TObject* AObject) {
  const int index = Add(S);
  PutObject(index, AObject);
  return index;
}

void TStrings::Put(int Index, const std::string& S) {
  TObject* obj = GetObject(Index);
  InUpdate(*this, [&] {
    Delete(Index);
    Insert(Index, S);
    PutObject(Index, obj);
  });
}

TObject* TStrings::GetObject(int) const { return nullptr; }

void TStrings::PutObject(int, TObject*) {}

void TStrings::Exchange(int Index1, int Index2) {
  const std::string s1 = Get(Index1);
  TObject* o1 = GetObject(Index1);
  InUpdate(*this, [&] {
    Put(Index1, Get(Index2));
    PutObject(Index1, GetObject(Index2));
    Put(Index2, s1);
    PutObject(Index2, o1);
  });
}

int TStrings::CompareStrings(const std::string& S1, const std::string& S2) const {
  return CompareBytes(S1, S2, FCaseSensitive);
}

int TStrings::IndexOf(const std::string& S) const {
  for (int i = 0, n = GetCount(); i < n; ++i)
    if (CompareStrings(Get(i), S) == 0) return i;
  return -1;
}

int TStrings::IndexOfObject(const TObject* AObject) const {
  for (int i = 0, n = GetCount(); i < n; ++i)
    if (GetObject(i) == AObject) return i;
  return -1;
}

void TStrings::AddStrings(const TStrings& Strings) {
  // Reading by index stays valid even when Strings is this list.
  const int n = Strings.Count();
  InUpdate(*this, [&] {
    for (int i = 0; i < n; ++i) AddObject(Strings.Get(i), OwnsObjects() ? nullptr : Strings.GetObject(i));
  });
}

void TStrings::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TStrings*>(&Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  InUpdate(*this, [&] {
    Clear();
    AddStrings(*src);
  });
}

bool TStrings::Equals(const TStrings& Strings) const {
  const int n = GetCount();
  if (n != Strings.GetCount()) return false;
  for (int i = 0; i < n; ++i)
    if (Get(i) != Strings.Get(i)) return false;
  return true;
}

std::string TStrings::Text() const {
  std::string text;
  for (int i = 0, n = GetCount(); i < n; ++i) {
    text += Get(i);
    text += FLineBreak;
  }
  return text;
}

void TStrings::SetText(const std::string& Value) {
  InUpdate(*this, [&] {
    Clear();
    const size_t n = Value.size();
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
      const char c = Value[i];
      if (c != '\r' && c != '\n') continue;
      Add(Value.substr(start, i - start));
      if (c == '\r' && i + 1 < n && Value[i + 1] == '\n') ++i;
      start = i + 1;
    }
    if (start < n) Add(Value.substr(start));
  });
}

std::string TStrings::Names(int Index) const {
  const std::string s = Get(Index);
  const size_t p = s.find(FNameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

std::string TStrings::ValueFromIndex(int Index) const {
  const std::string s = Get(Index);
  const size_t p = s.find(FNameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(p + 1);
}

int TStrings::IndexOfName(const std::string& Name) const {
  for (int i = 0, n = GetCount(); i < n; ++i) {
    const std::string s = Get(i);
    const size_t p = s.find(FNameValueSeparator);
    if (p != std::string::npos && CompareStrings(s.substr(0, p), Name) == 0) return i;
  }
  return -1;
}

std::string TStrings::Values(const std::string& Name) const {
  const int i = IndexOfName(Name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStrings::SetValues(const std::string& Name, const std::string& Value) {
  const int i = IndexOfName(Name);
  if (Value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  const std::string line = Name + FNameValueSeparator + Value;
  if (i < 0)
    Add(line);
  else
    Put(i, line);
}

void TStrings::BeginUpdate() { ++FUpdateCount; }

void TStrings::EndUpdate() {
  if (FUpdateCount == 0 || --FUpdateCount > 0 || !FChangedInUpdate) return;
  FChangedInUpdate = false;
  if (OnChange) OnChange(this);
}

void TStrings::Changing() {
  if (FUpdateCount > 0) {
    // Inside an update only the first change is announced.
    if (FChangedInUpdate) return;
    FChangedInUpdate = true;
  }
  if (OnChanging) OnChanging(this);
}

void TStrings::Changed() {
  if (FUpdateCount > 0)
    FChangedInUpdate = true;
  else if (OnChange)
    OnChange(this);
}

void TStrings::LoadFromStream(TStream& Stream) {
  const int64_t size = Stream.Size() - Stream.Position();
  std::string data(static_cast<size_t>(std::max<int64_t>(size, 0)), '\0');
  Stream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  SetText(data);
}

void TStrings::SaveToStream(TStream& Stream) const {
  const std::string text = Text();
  Stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

void TStrings::LoadFromFile(const std::string& FileName) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TStrings::SaveToFile(const std::string& FileName) const {
  TFileStream file(FileName, fmCreate);
  SaveToStream(file);
}

// --- TStringList ---

void TStringList::CheckIndex(int Index) const {
  if (Index < 0 || Index >= GetCount()) RaiseIndexError(Index);
}

void TStringList::CheckUnsorted() const {
  if (FSorted) throw EListError("Operation not allowed on sorted list");
}

std::string TStringList::Get(int Index) const {
  CheckIndex(Index);
  return FItems[static_cast<size_t>(Index)].S;
}

void TStringList::Put(int Index, const std::string& S) {
  CheckUnsorted();
  CheckIndex(Index);
  Changing();
  FItems[static_cast<size_t>(Index)].S = S;
  Changed();
}

TObject* TStringList::GetObject(int Index) const {
  CheckIndex(Index);
  const TItem& item = FItems[static_cast<size_t>(Index)];
  return item.Owned ? item.Owned.get() : item.Borrowed;
}

void TStringList::PutObject(int Index, TObject* AObject) {
  CheckIndex(Index);
  TItem& item = FItems[static_cast<size_t>(Index)];
  Changing();
  if (!FOwnsObjects)
    item.Borrowed = AObject;
  else if (item.Owned.get() != AObject)
    item.Owned.reset(AObject);  // the list adopts it
  Changed();
}

int TStringList::SortedSlot(const std::string& S, int& Existing) const {
  int index = 0;
  if (!Find(S, index)) return index;
  switch (FDuplicates) {
    case dupIgnore: Existing = index; return -1;
    case dupError: throw EListError("String list does not allow duplicates");
    case dupAccept: break;
  }
  // After the run of equal strings, so equal strings keep their arrival order.
  while (index < GetCount() && CompareStrings(FItems[static_cast<size_t>(index)].S, S) == 0) ++index;
  return index;
}

void TStringList::InsertItem(int Index, const std::string& S, TObject* Borrowed, std::unique_ptr<TObject> Owned) {
  Changing();
  FItems.insert(FItems.begin() + Index, TItem{S, Borrowed, std::move(Owned)});
  Changed();
}

int TStringList::AddItem(const std::string& S, TObject* Borrowed, std::unique_ptr<TObject> Owned) {
  int index = GetCount();
  if (FSorted) {
    int existing = -1;
    index = SortedSlot(S, existing);
    if (index < 0) return existing;
  }
  InsertItem(index, S, Borrowed, std::move(Owned));
  return index;
}

int TStringList::Add(const std::string& S) { return AddItem(S, nullptr, nullptr); }

int TStringList::AddObject(const std::string& S, TObject* AObject) {
  if (FOwnsObjects) return AddItem(S, nullptr, std::unique_ptr<TObject>(AObject));
  return AddItem(S, AObject, nullptr);
}

int TStringList::AddObject(const std::string& S, std::unique_ptr<TObject> AObject) {
  if (!FOwnsObjects) throw EInvalidOperation("The list does not own its objects");
  return AddItem(S, nullptr, std::move(AObject));
}

void TStringList::Insert(int Index, const std::string& S) {
  CheckUnsorted();
  if (Index < 0 || Index > GetCount()) RaiseIndexError(Index);
  InsertItem(Index, S, nullptr, nullptr);
}

void TStringList::Delete(int Index) {
  CheckIndex(Index);
  Changing();
  FItems.erase(FItems.begin() + Index);
  Changed();
}

void TStringList::Clear() {
  if (FItems.empty()) return;
  Changing();
  FItems.clear();
  Changed();
}

void TStringList::Exchange(int Index1, int Index2) {
  CheckUnsorted();
  CheckIndex(Index1);
  CheckIndex(Index2);
  Changing();
  std::swap(FItems[static_cast<size_t>(Index1)], FItems[static_cast<size_t>(Index2)]);
  Changed();
}

bool TStringList::Find(const std::string& S, int& Index) const {
  int lo = 0;
  int hi = GetCount();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (CompareStrings(FItems[static_cast<size_t>(mid)].S, S) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  Index = lo;
  return lo < GetCount() && CompareStrings(FItems[static_cast<size_t>(lo)].S, S) == 0;
}

int TStringList::IndexOf(const std::string& S) const {
  if (!FSorted) return TStrings::IndexOf(S);
  int index = 0;
  return Find(S, index) ? index : -1;
}

void TStringList::SortBy(const std::function<bool(int, int)>& Less) {
  if (FItems.size() < 2) return;
  // Sort a permutation first: the comparer reads the list by index, so the
  // list must stay put until the order is known.
  std::vector<int> order(FItems.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), Less);
  std::vector<TItem> sorted;
  sorted.reserve(FItems.size());
  Changing();
  for (int i : order) sorted.push_back(std::move(FItems[static_cast<size_t>(i)]));
  FItems = std::move(sorted);
  Changed();
}

void TStringList::Sort() {
  SortBy([this](int a, int b) {
    return CompareStrings(FItems[static_cast<size_t>(a)].S, FItems[static_cast<size_t>(b)].S) < 0;
  });
}

void TStringList::CustomSort(const TStringListSortCompare& Compare) {
  if (FSorted) return;
  SortBy([this, &Compare](int a, int b) { return Compare(*this, a, b) < 0; });
}

void TStringList::SetSorted(bool Value) {
  if (Value == FSorted) return;
  if (Value) Sort();
  FSorted = Value;
}

void TStringList::SetCaseSensitive(bool Value) {
  if (Value == CaseSensitive()) return;
  TStrings::SetCaseSensitive(Value);
  if (FSorted) Sort();
}

// --- TByteBlock ---

namespace {

// Beyond this a block jumps to kMappedBytes, which the allocator always maps
// by itself (its own threshold for that stays below 32 MB).
constexpr size_t kSmallBlockBytes = 1024 * 1024;
constexpr size_t kMappedBytes = 33 * 1024 * 1024;

}  // namespace

void TByteBlock::TFree::operator()(char* p) const { std::free(p); }

void TByteBlock::Reserve(size_t ACapacity) {
  if (ACapacity <= FCapacity) return;
  size_t capacity = std::max<size_t>({ACapacity, FCapacity * 2, 64});
  if (capacity > kSmallBlockBytes) capacity = std::max(capacity, kMappedBytes);
  // realloc moves a mapped block by remapping its pages.
  char* grown = static_cast<char*>(std::realloc(FData.get(), capacity));
  if (!grown) throw std::bad_alloc();
  (void)FData.release();
  FData.reset(grown);
  FCapacity = capacity;
}

void TByteBlock::Append(std::string_view ABytes) {
  if (ABytes.empty()) return;
  Reserve(FSize + ABytes.size());
  std::memcpy(FData.get() + FSize, ABytes.data(), ABytes.size());
  FSize += ABytes.size();
}

void TByteBlock::Prepend(std::string_view ABytes) {
  if (ABytes.empty()) return;
  Reserve(FSize + ABytes.size());
  std::memmove(FData.get() + ABytes.size(), FData.get(), FSize);
  std::memcpy(FData.get(), ABytes.data(), ABytes.size());
  FSize += ABytes.size();
}

void TByteBlock::Resize(size_t ASize) {
  Reserve(ASize);
  FSize = ASize;
}

void TByteBlock::EraseFront(size_t ACount) {
  ACount = std::min(ACount, FSize);
  if (ACount == 0) return;
  std::memmove(FData.get(), FData.get() + ACount, FSize - ACount);
  FSize -= ACount;
}

// --- TBlockStringList ---

namespace {

// Free slots kept before the first line of an adopted block: a message gets
// a few lines put on top of it (trace lines, a return path).
constexpr size_t kFrontSlots = 8;

}  // namespace

void TBlockStringList::CheckIndex(int Index) const {
  if (Index < 0 || Index >= GetCount()) RaiseIndexError(Index);
}

std::string_view TBlockStringList::View(int Index) const {
  CheckIndex(Index);
  const TSpan& span = FSpans[FFront + static_cast<size_t>(Index)];
  return FText.View().substr(span.Offset, span.Length);
}

TBlockStringList::TSpan TBlockStringList::Append(const std::string& S) {
  const TSpan span{FText.Size(), S.size()};
  FText.Append(S);
  return span;
}

void TBlockStringList::Insert(int Index, const std::string& S) {
  if (Index < 0 || Index > GetCount()) RaiseIndexError(Index);
  Changing();
  const TSpan span = Append(S);
  if (Index == 0 && FFront > 0)
    FSpans[--FFront] = span;
  else
    FSpans.insert(FSpans.begin() + static_cast<std::ptrdiff_t>(FFront + static_cast<size_t>(Index)), span);
  Changed();
}

void TBlockStringList::Put(int Index, const std::string& S) {
  CheckIndex(Index);
  Changing();
  FSpans[FFront + static_cast<size_t>(Index)] = Append(S);
  Changed();
}

void TBlockStringList::Delete(int Index) {
  CheckIndex(Index);
  Changing();
  if (Index == 0)
    ++FFront;
  else
    FSpans.erase(FSpans.begin() + static_cast<std::ptrdiff_t>(FFront + static_cast<size_t>(Index)));
  Changed();
}

void TBlockStringList::Clear() {
  if (FSpans.empty() && FText.Size() == 0) return;
  Changing();
  // Given back at once, not kept for later lines.
  FText.Free();
  std::vector<TSpan>().swap(FSpans);
  FFront = 0;
  Changed();
}

void TBlockStringList::AssignText(std::string_view AText) {
  TByteBlock block;
  block.Append(AText);
  AssignText(std::move(block));
}

void TBlockStringList::AssignText(TByteBlock AText) {
  InUpdate(*this, [&] {
    Clear();
    Changing();
    const std::string_view text = AText.View();
    const size_t n = text.size();
    // Counted first (a CR LF counts twice: an upper bound), so the spans
    // take their memory once; room never written costs nothing.
    size_t lines = 0;
    for (const char c : {'\n', '\r'}) {
      const char* at = text.data();
      const char* const end = at + n;
      while (at < end && (at = static_cast<const char*>(std::memchr(at, c, static_cast<size_t>(end - at))))) {
        ++lines;
        ++at;
      }
    }
    FSpans.reserve(kFrontSlots + lines + 1);
    FSpans.resize(kFrontSlots);
    FFront = kFrontSlots;
    // Each line's end found by memchr: the next LF (searched again only
    // once passed) or a CR before it.
    const char* const p = text.data();
    size_t start = 0;
    size_t lf = 0;
    bool lfKnown = false;
    while (start < n) {
      if (!lfKnown || lf < start) {
        const void* at = std::memchr(p + start, '\n', n - start);
        lf = at ? static_cast<size_t>(static_cast<const char*>(at) - p) : n;
        lfKnown = true;
      }
      size_t end = lf;
      if (const void* cr = std::memchr(p + start, '\r', lf - start))
        end = static_cast<size_t>(static_cast<const char*>(cr) - p);
      if (end == n) {
        FSpans.push_back({start, n - start});
        break;
      }
      FSpans.push_back({start, end - start});
      start = p[end] == '\r' && end + 1 < n && p[end + 1] == '\n' ? end + 2 : end + 1;
    }
    FText = std::move(AText);
    Changed();
  });
}

void TBlockStringList::CutFront(int Index, size_t ACount) {
  CheckIndex(Index);
  TSpan& span = FSpans[FFront + static_cast<size_t>(Index)];
  ACount = std::min(ACount, span.Length);
  if (ACount == 0) return;
  Changing();
  span.Offset += ACount;
  span.Length -= ACount;
  Changed();
}
