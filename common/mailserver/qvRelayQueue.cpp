#include "qvRelayQueue.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>

#include "FileOps.h"
#include "ProgramPath.h"
#include "Streams.h"
#include "StringList.h"
#include "SysError.h"
#include "qvMailBoxFiles.h"
#include "qvMailServerLimits.h"
#include "qvMailStoreUtils.h"

namespace {

// Retry digits tried after the pair's own name in the bad-mail folder.
constexpr int kBadNameRetries = 1000;

[[noreturn]] void RaiseFileError(const char* AWhat, const std::string& APath) {
  const int code = errno;
  throw EOSError(static_cast<uint32_t>(code), std::string(AWhat) + " \"" + APath + "\": " + plat::SysErrorMessage(code));
}

// The message file whole, up to the largest message the server takes.
std::string ReadWholeFile(const std::string& APath) {
  std::string bytes;
  const int error = plat::ReadSmallFile(APath, static_cast<size_t>(qvMaxDataBlockBytes), bytes);
  if (error == EIO || error == EFBIG) throw EReadError();
  if (error != 0) throw EFOpenError("Cannot open file \"" + APath + "\"");
  return bytes;
}

// The pair's own name in the bad-mail folder, or with a retry digit, whose
// two files both took: ABad + name, or "" when every name was taken.
std::string PlacePair(const std::string& ABad, const std::string& AOwn, const std::string& AText,
                      const TStrings& AEnvelope) {
  for (int retry = -1; retry < kBadNameRetries; ++retry) {
    const std::string name = RetriedName(ABad + AOwn, retry);
    if (NameTaken(name + ".MSG") || NameTaken(name + ".ENV")) continue;
    TqvStagedFile stagedMessage(ABad, AText);
    TqvStagedFile stagedEnvelope(ABad, AEnvelope);
    if (!stagedMessage.PlaceAs(name + ".MSG")) continue;
    bool envelopePlaced = false;
    try {
      envelopePlaced = stagedEnvelope.PlaceAs(name + ".ENV");
    } catch (...) {
      static_cast<void>(std::remove((name + ".MSG").c_str()));
      throw;
    }
    if (envelopePlaced) return name;
    static_cast<void>(std::remove((name + ".MSG").c_str()));
  }
  return {};
}

}  // namespace

TqvRelayQueue::TqvRelayQueue(const std::string& AQueueFolder, const std::string& ABadFolder)
    : FFolder(plat::IncludeTrailingPathDelimiter(AQueueFolder)), FBad(plat::IncludeTrailingPathDelimiter(ABadFolder)) {}

std::vector<std::string> TqvRelayQueue::ListPairs() const {
  std::vector<std::string> names;
  if (FFolder.empty()) return names;
  for (const TqvMailFileEntry& entry : ListMailFiles(FFolder, ".ENV")) names.push_back(entry.Name);
  return names;
}

std::string TqvRelayQueue::MessageFile(const std::string& AEnvelopeFile) {
  return plat::ChangeFileExt(AEnvelopeFile, ".MSG");
}

std::string TqvRelayQueue::Signature(const std::string& AEnvelopeFile) {
  std::string signature;
  for (const std::string& path : {AEnvelopeFile, MessageFile(AEnvelopeFile)}) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      signature += "-;";
      continue;
    }
    signature += std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
                 std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ";";
  }
  return signature;
}

int64_t TqvRelayQueue::Age(const std::string& AMessageFile) {
  struct stat st {};
  if (::stat(AMessageFile.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(st.st_mtime);
}

void TqvRelayQueue::RewriteEnvelope(const std::string& AEnvelopeFile, const std::string& ASender,
                                    const TStrings& ARecipients) {
  TStringList lines;
  lines.Add(ASender);
  lines.AddStrings(ARecipients);
  const std::string folder = plat::ExtractFilePath(AEnvelopeFile);
  TqvStagedFile staged(folder, lines);
  staged.ReplaceAs(AEnvelopeFile);
  SyncFolder(folder);
}

std::string TqvRelayQueue::FileInBad(const std::string& AEnvelopeFile, const std::string& ASender,
                                     const TStrings& AFailed) const {
  TStringList lines;
  lines.Add(ASender);
  lines.AddStrings(AFailed);
  const std::string text = ReadWholeFile(MessageFile(AEnvelopeFile));
  const std::string own = plat::ChangeFileExt(plat::ExtractFileName(AEnvelopeFile), "");
  const std::string placed = PlacePair(FBad, own, text, lines);
  if (!placed.empty()) SyncFolder(FBad);
  return placed;
}

void TqvRelayQueue::Remove(const std::string& AEnvelopeFile) {
  const std::string message = MessageFile(AEnvelopeFile);
  for (const std::string& path : {AEnvelopeFile, message})
    if (std::remove(path.c_str()) != 0) RaiseFileError("Cannot delete", path);
}

int TqvRelayQueue::SweepLeftovers() const {
  int removed = 0;
  for (const std::string& path : {FFolder, FBad}) {
    if (path.empty()) continue;
    try {
      if (const TqvStoreFolder folder = OpenStoreFolder(path, false)) removed += RemoveStagedLeftovers(folder);
    } catch (const std::exception&) {
      // An unreadable folder keeps its leftovers; the pass reports it when used.
    }
  }
  return removed;
}

TqvPairFates SortFates(const TStrings& AEnvelope, const TqvSmtpRelayStatusList& AStatuses) {
  std::map<std::string, std::deque<const TqvRelayRecipient*>> given;
  for (int i = 0; i < AStatuses.Count(); ++i)
    for (const TqvRelayRecipient& r : AStatuses.Items(i).Recipients) given[r.Email].push_back(&r);
  TqvPairFates fates;
  const TqvRelayRecipient* firstOwed = nullptr;
  for (int i = 1; i < AEnvelope.Count(); ++i) {
    const std::string line = AEnvelope.Strings(i);
    std::deque<const TqvRelayRecipient*>& queue = given[line];
    const TqvRelayRecipient* r = queue.empty() ? nullptr : queue.front();
    if (r) queue.pop_front();
    if (r && r->Outcome == TqvRelayOutcome::roDelivered) continue;
    fates.Open.push_back({line, r});
    if (r && r->Outcome == TqvRelayOutcome::roFailed && !fates.Report) fates.Report = r;
    if (r && r->Outcome == TqvRelayOutcome::roRetry && !firstOwed) firstOwed = r;
    fates.Failing = fates.Failing || !r || r->Outcome == TqvRelayOutcome::roRetry;
  }
  if (!fates.Report) fates.Report = firstOwed;
  return fates;
}

void TqvPairFates::Split(bool AGiveUp, TStrings& AFailed, TStrings& AOwed) const {
  for (const TLine& line : Open) {
    if (AGiveUp || (line.Fate && line.Fate->Outcome == TqvRelayOutcome::roFailed))
      AFailed.Add(line.Recipient);
    else
      AOwed.Add(line.Recipient);
  }
}
