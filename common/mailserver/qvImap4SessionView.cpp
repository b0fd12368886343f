#include "qvImap4SessionView.h"

#include <algorithm>

#include "qvImap4Records.h"

namespace {

constexpr TqvMailMessageFlags kRecent = MessageFlag(mfRecent);
constexpr TqvMailMessageFlags kStored = static_cast<TqvMailMessageFlags>(qvAllMessageFlags & ~kRecent);

}  // namespace

void TqvImap4SessionView::Clear() {
  FUids.clear();
  FUids.shrink_to_fit();
  FFlags.clear();
  FFlags.shrink_to_fit();
  FPending = false;
  FSynced.reset();
}

int TqvImap4SessionView::RecentCount() const {
  return static_cast<int>(std::count_if(FFlags.begin(), FFlags.end(), [](TqvMailMessageFlags f) { return f & kRecent; }));
}

int TqvImap4SessionView::IndexOf(int64_t AUid) const {
  if (AUid < 0 || AUid > UINT32_MAX) return -1;
  const auto at = std::lower_bound(FUids.begin(), FUids.end(), static_cast<uint32_t>(AUid));
  return at != FUids.end() && *at == AUid ? static_cast<int>(at - FUids.begin()) : -1;
}

TqvMailMessageFlags TqvImap4SessionView::SessionFlags(int AIndex, TqvMailMessageFlags AStored) const {
  return static_cast<TqvMailMessageFlags>((AStored & kStored) | (Flags(AIndex) & kRecent));
}

void TqvImap4SessionView::Reported(int AIndex, TqvMailMessageFlags AFlags) {
  TqvMailMessageFlags& f = FFlags[static_cast<size_t>(AIndex)];
  f = static_cast<TqvMailMessageFlags>((AFlags & kStored) | (f & kRecent));
}

bool TqvImap4SessionView::SyncedWith(const std::shared_ptr<const TqvImap4MessageSnapshot>& ASnapshot) const {
  return ASnapshot && !FPending && !FSynced.expired() && FSynced.lock() == ASnapshot;
}

bool TqvImap4SessionView::SameAs(const TqvImap4MessageList& AStored) const {
  if (AStored.Count() != Count()) return false;
  for (int i = 0; i < AStored.Count(); ++i)
    if (AStored.Peek(i)->UID != static_cast<int64_t>(FUids[static_cast<size_t>(i)])) return false;
  return true;
}

void TqvImap4SessionView::Update(const TqvImap4MessageList& AStored, bool AExpunge, bool AWithUid,
                                 const TRecentTest& ARecent, std::vector<std::string>& ALines) {
  const int recentBefore = RecentCount();
  const int n = AStored.Count();
  // Merge the view's UIDs with the stored ones (both ascending).
  std::vector<bool> gone(FUids.size(), false);
  std::vector<std::pair<size_t, TqvMailMessageFlags>> changed;
  int j = 0;
  for (size_t k = 0; k < FUids.size(); ++k) {
    while (j < n && AStored.Peek(j)->UID >= 0 && AStored.Peek(j)->UID < FUids[k]) ++j;
    if (j < n && AStored.Peek(j)->UID == static_cast<int64_t>(FUids[k])) {
      const TqvMailMessageFlags stored = AStored.Peek(j)->Flags & kStored;
      if (stored != (FFlags[k] & kStored)) changed.emplace_back(k, stored);
      ++j;
    } else {
      gone[k] = true;
    }
  }
  const bool anyGone = std::find(gone.begin(), gone.end(), true) != gone.end();
  for (const auto& [k, stored] : changed) FFlags[k] = static_cast<TqvMailMessageFlags>(stored | (FFlags[k] & kRecent));
  // The new positions of the messages that stay (for the FETCH lines).
  std::vector<int> position(FUids.size());
  for (size_t k = 0; k < FUids.size(); ++k) position[k] = static_cast<int>(k);
  if (anyGone && AExpunge) {
    // Highest first: each number is still the one the client knows.
    for (size_t k = FUids.size(); k-- > 0;)
      if (gone[k]) ALines.push_back("* " + std::to_string(k + 1) + " EXPUNGE");
    size_t kept = 0;
    for (size_t k = 0; k < FUids.size(); ++k) {
      position[k] = static_cast<int>(kept);
      if (gone[k]) continue;
      FUids[kept] = FUids[k];
      FFlags[kept] = FFlags[k];
      ++kept;
    }
    FUids.resize(kept);
    FFlags.resize(kept);
  }
  FPending = anyGone && !AExpunge;
  // New messages: stored UIDs above the last one known.
  const int64_t last = LastUid();
  const size_t before = FUids.size();
  for (int i = 0; i < n; ++i) {
    const TqvImap4MessageItem& m = *AStored.Peek(i);
    if (m.UID <= last || m.UID > UINT32_MAX) continue;
    FUids.push_back(static_cast<uint32_t>(m.UID));
    FFlags.push_back(static_cast<TqvMailMessageFlags>((m.Flags & kStored) | (ARecent && ARecent(m) ? kRecent : 0)));
  }
  if (FUids.size() > before) ALines.push_back("* " + std::to_string(FUids.size()) + " EXISTS");
  if (const int recent = RecentCount(); recent != recentBefore)
    ALines.push_back("* " + std::to_string(recent) + " RECENT");
  for (const auto& [k, stored] : changed) {
    const size_t at = static_cast<size_t>(position[k]);
    std::string line = "* " + std::to_string(at + 1) + " FETCH (";
    if (AWithUid) line += "UID " + std::to_string(FUids[at]) + " ";
    line += "FLAGS (" + ImapMessageFlagsText(FFlags[at]) + "))";
    ALines.push_back(std::move(line));
  }
}
