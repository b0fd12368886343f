#include "qvImap4Records.h"

#include <algorithm>
#include <array>
#include <functional>

namespace {

constexpr std::array<const char*, 4> kAttributeNames = {"\\Noinferiors", "\\Noselect", "\\Marked", "\\Unmarked"};

}  // namespace

std::string GetImapMailBoxAttributes(TqvImap4MailBoxAttributes AAttributes) {
  std::string result;
  for (size_t i = 0; i < kAttributeNames.size(); ++i) {
    if (!(AAttributes & (1u << i))) continue;
    if (!result.empty()) result += ' ';
    result += kAttributeNames[i];
  }
  return result;
}

TqvImap4MailBoxItem* TqvImap4MailBoxList::Add() {
  FItems.push_back(std::make_unique<TqvImap4MailBoxItem>());
  return FItems.back().get();
}

TqvImap4MailBoxItem* TqvImap4MailBoxList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[static_cast<size_t>(AIndex)].get();
}

void TqvImap4MailBoxList::Delete(int AIndex) {
  (void)Items(AIndex);
  FItems.erase(FItems.begin() + AIndex);
}

TqvImap4MessageItem::TqvImap4MessageItem() : Date(Now()) {}

TqvImap4MessageList::~TqvImap4MessageList() = default;

void TqvImap4MessageList::InsertSorted(TqvImap4MessageItem* AItem) {
  FNumbered = false;
  if (AItem->UID < 0) {
    FItems.push_back(AItem);
    return;
  }
  size_t i = FItems.size();
  while (i > 0 && (FItems[i - 1]->UID < 0 || FItems[i - 1]->UID >= AItem->UID)) --i;
  FItems.insert(FItems.begin() + static_cast<std::ptrdiff_t>(i), AItem);
}

TqvImap4MessageItem* TqvImap4MessageList::Add(std::unique_ptr<TqvImap4MessageItem> AItem) {
  TqvImap4MessageItem* item = AItem.get();
  if (FOwnsItems) FOwned.push_back(std::move(AItem));
  InsertSorted(item);
  return item;
}

TqvImap4MessageItem* TqvImap4MessageList::AddRef(TqvImap4MessageItem* AItem) {
  if (FOwnsItems) return Add(std::unique_ptr<TqvImap4MessageItem>(AItem));
  InsertSorted(AItem);
  return AItem;
}

TqvImap4MessageItem* TqvImap4MessageList::Add(const std::string& AName, int64_t AUID, TqvMailMessageFlags AFlags,
                                              TDateTime ADate) {
  auto item = std::make_unique<TqvImap4MessageItem>(ADate);
  item->Name = AName;
  item->UID = AUID;
  item->Flags = AFlags;
  if (!FOwnsItems) throw EInvalidOperation("A view cannot make items");
  return Add(std::move(item));
}

bool TqvImap4MessageList::AddShared(TqvImap4MessageSnapshotPtr ASnapshot) {
  if (!FItems.empty()) return false;
  if (!ASnapshot || ASnapshot->empty()) return true;
  FItems.reserve(ASnapshot->size());
  // Never written through: Items copies first.
  for (const TqvImap4MessageItem& item : *ASnapshot) FItems.push_back(const_cast<TqvImap4MessageItem*>(&item));
  FShared.push_back(std::move(ASnapshot));
  FNumbered = true;  // as a snapshot comes
  return true;
}

bool TqvImap4MessageList::IsShared(const TqvImap4MessageItem* AItem) const {
  for (const TqvImap4MessageSnapshotPtr& snapshot : FShared) {
    const TqvImap4MessageItem* first = snapshot->data();
    if (std::less_equal<>()(first, AItem) && std::less<>()(AItem, first + snapshot->size())) return true;
  }
  return false;
}

TqvImap4MessageSnapshotPtr TqvImap4MessageList::Snapshot() const {
  if (FShared.size() != 1 || !FOwned.empty() || FItems.size() != FShared.front()->size()) return nullptr;
  const TqvImap4MessageItem* first = FShared.front()->data();
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i] != first + i) return nullptr;
  return FShared.front();
}

TqvImap4MessageItem* TqvImap4MessageList::Writable(const TqvImap4MessageItem* AItem) {
  // Numbered lists find it at once.
  const auto at = static_cast<size_t>(AItem->SequenceNumber - 1);
  if (AItem->SequenceNumber >= 1 && at < FItems.size() && FItems[at] == AItem) return Items(static_cast<int>(at));
  const auto found = std::find(FItems.begin(), FItems.end(), AItem);
  return found == FItems.end() ? nullptr : Items(static_cast<int>(found - FItems.begin()));
}

const TqvImap4MessageItem* TqvImap4MessageList::Peek(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[static_cast<size_t>(AIndex)];
}

TqvImap4MessageItem* TqvImap4MessageList::Items(int AIndex) {
  (void)Peek(AIndex);
  TqvImap4MessageItem*& item = FItems[static_cast<size_t>(AIndex)];
  // The caller may renumber it.
  FNumbered = false;
  if (!FShared.empty() && IsShared(item)) {
    FOwned.push_back(std::make_unique<TqvImap4MessageItem>(*item));
    item = FOwned.back().get();
  }
  return item;
}

TqvImap4MessageItem* TqvImap4MessageList::Find(const std::string& AName) {
  const int i = IndexOf(AName);
  return i < 0 ? nullptr : Items(i);
}

const TqvImap4MessageItem* TqvImap4MessageList::Find(const std::string& AName) const {
  const int i = IndexOf(AName);
  return i < 0 ? nullptr : Peek(i);
}

int TqvImap4MessageList::IndexOf(const std::string& AName) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->Name == AName) return static_cast<int>(i);
  return -1;
}

void TqvImap4MessageList::Delete(int AIndex) {
  const TqvImap4MessageItem* item = Peek(AIndex);
  FItems.erase(FItems.begin() + AIndex);
  FNumbered = false;
  const auto owned =
      std::find_if(FOwned.begin(), FOwned.end(), [item](const auto& AOwned) { return AOwned.get() == item; });
  if (owned != FOwned.end()) FOwned.erase(owned);
}

void TqvImap4MessageList::Clear() {
  FItems.clear();
  FOwned.clear();
  FShared.clear();
  FNumbered = false;
}

void TqvImap4MessageList::Renumber() {
  // A shared snapshot comes numbered: its items are left alone.
  if (FNumbered) return;
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->SequenceNumber != static_cast<int>(i + 1))
      Items(static_cast<int>(i))->SequenceNumber = static_cast<int>(i + 1);
  FNumbered = true;
}

std::unique_ptr<TqvImap4MessageList> TqvImap4MessageList::FlagView(TqvMailMessageFlag AFlag) {
  Renumber();
  auto view = std::make_unique<TqvImap4MessageList>(false);
  for (TqvImap4MessageItem* item : FItems)
    if (item->Flags & MessageFlag(AFlag)) view->AddRef(item);
  return view;
}

std::vector<std::pair<int64_t, int>> TqvImap4MessageList::UidIndex() const {
  std::vector<std::pair<int64_t, int>> index;
  index.reserve(FItems.size());
  for (size_t i = 0; i < FItems.size() && FItems[i]->UID >= 0; ++i)
    index.emplace_back(FItems[i]->UID, static_cast<int>(i));
  return index;
}
