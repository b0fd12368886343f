// The relay queue on disk: the folder of pairs the SMTP store queues for
// other domains ("MAIL%.8d.ENV": the sender's line, then one recipient a
// line; beside it its "MAIL%.8d.MSG") and the bad-mail folder where failed
// pairs are filed. Lists, reads, rewrites, files and removes pairs, and sorts
// a pair's recipients by what the relay made of them; knows nothing of waits
// or the log (the caller logs what it is told).
// Rewrites and copies go through the store's staged files: a temporary name
// the leftover sweep knows, flushed, renamed into place, the folder flushed;
// copies never replace a final name. A message is read whole up to the
// largest data block the server takes.
// One thread at a time (the relay pass). Failures raise EOSError, EFOpenError
// or EReadError with the path, unless said otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvSmtpRelay.h"

class TStrings;

// The fates of a pair's envelope lines (from the second) after one attempt:
// each line takes the outcome of the next recipient the relay was given for
// it (the same line twice takes two); a line it did not come to is owed.
// The pointers borrow the status list's recipients.
struct TqvPairFates {
  struct TLine {
    std::string Recipient;
    const TqvRelayRecipient* Fate = nullptr;  // null: not reached
  };
  std::vector<TLine> Open;  // every line not delivered, in envelope order
  // The first refused for good, else the first to try again; null for none.
  const TqvRelayRecipient* Report = nullptr;
  bool Failing = false;  // a line is to be tried again or was not reached
  // The lines for the bad-mail folder (refused for good, or every open line
  // with AGiveUp) and those still owed, in envelope order.
  void Split(bool AGiveUp, TStrings& AFailed, TStrings& AOwed) const;
};
[[nodiscard]] TqvPairFates SortFates(const TStrings& AEnvelope, const TqvSmtpRelayStatusList& AStatuses);

class TqvRelayQueue {
 public:
  // AQueueFolder and ABadFolder end in "/" or not; empty folders list nothing.
  TqvRelayQueue(const std::string& AQueueFolder, const std::string& ABadFolder);

  // The queue folder's path and the bad-mail folder's, each ending in "/".
  [[nodiscard]] const std::string& Folder() const { return FFolder; }
  [[nodiscard]] const std::string& BadFolder() const { return FBad; }

  // The envelope files' names (no folder), in the store's listing order;
  // empty for a missing or unreadable folder.
  [[nodiscard]] std::vector<std::string> ListPairs() const;
  // The message file beside an envelope file (the path with ".MSG").
  [[nodiscard]] static std::string MessageFile(const std::string& AEnvelopeFile);

  // What the pair's two files are now (inode, size and time of each, or "-"
  // for a missing one): a pair that could not be handled is met again once
  // this changes.
  [[nodiscard]] static std::string Signature(const std::string& AEnvelopeFile);
  // Seconds since the message file was written (the time it was queued); 0
  // when it cannot be read.
  [[nodiscard]] static int64_t Age(const std::string& AMessageFile);

  // The sender followed by ARecipients, in place of the envelope's lines.
  static void RewriteEnvelope(const std::string& AEnvelopeFile, const std::string& ASender,
                              const TStrings& ARecipients);
  // A copy of the message file and an envelope of ASender and AFailed, both
  // under one free name of the bad-mail folder: the pair's own name first,
  // then with a retry digit. Returns that name's path without extension, ""
  // when every name was taken; nothing is left placed then or when it raises.
  [[nodiscard]] std::string FileInBad(const std::string& AEnvelopeFile, const std::string& ASender,
                                      const TStrings& AFailed) const;
  // The envelope first, then the message: a crash in between leaves a
  // message file that no pass looks at, never an envelope without it.
  static void Remove(const std::string& AEnvelopeFile);

  // Removes what a crash left of staged files in both folders; returns how
  // many. A folder that cannot be opened or listed keeps its leftovers.
  int SweepLeftovers() const;

 private:
  std::string FFolder;
  std::string FBad;
};
