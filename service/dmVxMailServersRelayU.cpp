// The relay queue pass of the data module: which pairs are due, one attempt
// per pair, and what becomes of each recipient afterwards (left out of the
// envelope, kept for a later try, or filed in the bad-mail folder).
#include <algorithm>
#include <set>

#include "ProgramPath.h"
#include "VxMailTexts.h"
#include "dmVxMailServersU.h"
#include "qvLogger.h"
#include "qvMailBoxFiles.h"
#include "qvRelayQueue.h"

void TdmVxMailServers::Timer1Timer(TObject* /*Sender*/) {
  if (FInPass) return;
  FInPass = true;
  Timer1.SetEnabled(false);
  try {
    const TqvRelayQueue queue(qvSmtpFileHandler1->RelayDir(), BadFolder());
    qvSmtpRelay1->ForgetUnreachable();
    const auto now = std::chrono::steady_clock::now();
    bool opened = false;
    std::set<std::string> listed;
    const std::vector<std::string> names = queue.ListPairs();
    for (size_t n = 0; n < names.size(); ++n) {
      const std::string& name = names[n];
      listed.insert(name);
      if (FStopRequested) continue;
      TQueuedPair& pair = FQueued[name];
      if (pair.Failures > 0 && now < pair.Due) continue;
      const std::string path = queue.Folder() + name;
      const std::string signature = TqvRelayQueue::Signature(path);
      if (pair.Stuck && signature == pair.Signature) continue;
      pair.Stuck = false;
      if (!opened) LogMessage(&Timer1, 0, vxtext::kProcessQueue);
      opened = true;
      // One pair that cannot be handled never holds up the ones after it.
      try {
        HintNextPair(queue, names, n + 1, now);
        if (RelayPair(queue, path, pair)) {
          FQueued.erase(name);
          continue;
        }
      } catch (const std::exception& e) {
        LogException(&Timer1, 2, vxtext::kProcessQueue, &e);
        pair.Stuck = true;
      }
      if (pair.Stuck) pair.Signature = signature;
    }
    if (opened) LogMessage(&Timer1, 1, vxtext::kProcessQueue);
    for (auto it = FQueued.begin(); it != FQueued.end();) it = listed.count(it->first) ? std::next(it) : FQueued.erase(it);
  } catch (const std::exception& e) {
    LogException(&Timer1, 2, vxtext::kProcessQueue, &e);
  } catch (...) {
    LogException(&Timer1, 2, vxtext::kProcessQueue, nullptr);
  }
  // A session kept open from pair to pair ends with the pass.
  try {
    qvSmtpRelay1->EndPass();
  } catch (const std::exception& e) {
    LogException(&Timer1, 2, vxtext::kProcessQueue, &e);
  }
  FInPass = false;
  // Only a running service keeps relaying: a pass that outlives the stop
  // must not start the timer again.
  if (FServing) Timer1.SetEnabled(true);
  if (FWakeAgain && FServing) WakeRelay();
  FWakeAgain = false;
}

void TdmVxMailServers::HintNextPair(const TqvRelayQueue& AQueue, const std::vector<std::string>& ANames, size_t AFrom,
                                    std::chrono::steady_clock::time_point ANow) {
  qvSmtpRelay1->ClearNextMessage();
  for (size_t n = AFrom; n < ANames.size() && !FStopRequested; ++n) {
    const auto known = FQueued.find(ANames[n]);
    if (known != FQueued.end() &&
        (known->second.Stuck || (known->second.Failures > 0 && ANow < known->second.Due)))
      continue;
    // Only a hint: a pair that turns out otherwise costs the relay a new session.
    TStringList envelope;
    try {
      LoadMailFile(AQueue.Folder() + ANames[n], envelope);
    } catch (const std::exception&) {
      return;
    }
    if (envelope.Count() < 2) return;
    TStringList recipients;
    CopyRecipients(envelope, recipients);
    qvSmtpRelay1->SetNextMessage(envelope.Strings(0), recipients);
    return;
  }
}

bool TdmVxMailServers::RelayPair(const TqvRelayQueue& AQueue, const std::string& AEnvelopeFile, TQueuedPair& APair) {
  TStringList envelope;
  LoadMailFile(AEnvelopeFile, envelope);
  if (envelope.Count() < 2) {
    // A sender without recipients stays as it is.
    LogMessage(&Timer1, 2, vxtext::kNoRecipients + EscapeLogText(AEnvelopeFile));
    APair.Stuck = true;
    return false;
  }
  const std::string message = TqvRelayQueue::MessageFile(AEnvelopeFile);
  TqvSmtpRelay& relay = *qvSmtpRelay1;
  relay.SetMailFrom(envelope.Strings(0));
  CopyRecipients(envelope, relay.MailToList);
  relay.MailData.Clear();
  LoadMailFile(message, relay.MailData);
  FEnvelopeInHand = AEnvelopeFile;
  FEnvelopeLines.Assign(envelope);
  try {
    relay.Send();
  } catch (const std::exception& e) {
    // What the statuses hold so far still counts; the rest is owed.
    LogException(&Timer1, 2, vxtext::kProcessQueue, &e);
  }
  FEnvelopeInHand.clear();
  const bool stopped = relay.Aborted();
  LogRelayOutcome();

  // Each envelope line meets the fate of the recipient given for it; one
  // the relay did not come to is still owed. Failing again past the give-up
  // age: no further wait.
  const TqvPairFates fates = SortFates(envelope, relay.StatusList());
  const bool givenUp = fates.Failing && !stopped && TqvRelayQueue::Age(message) > GiveUpSeconds;
  if (givenUp) LogMessage(&Timer1, 2, vxtext::kGivenUp + EscapeLogText(AEnvelopeFile));
  TStringList owed, failed;
  fates.Split(givenUp, failed, owed);
  const TqvRelayRecipient none;
  const TqvRelayRecipient* report = fates.Report ? fates.Report : &none;
  // Filed first, then taken off the envelope: a crash in between files them
  // twice, never not at all. A pair that cannot be filed stays queued.
  if (failed.Count() > 0 && !CopyToBadFolder(AQueue, AEnvelopeFile, envelope.Strings(0), failed, *report))
    owed.AddStrings(failed);
  if (owed.Count() == 0) {
    TqvRelayQueue::Remove(AEnvelopeFile);
    return true;
  }
  bool same = owed.Count() == FEnvelopeLines.Count() - 1;
  for (int i = 0; same && i < owed.Count(); ++i) same = owed.Strings(i) == FEnvelopeLines.Strings(i + 1);
  if (!same) TqvRelayQueue::RewriteEnvelope(AEnvelopeFile, envelope.Strings(0), owed);
  if (stopped) return false;
  // The last wait repeats.
  const int wait = RetryWaitSeconds.empty()
                       ? 0
                       : RetryWaitSeconds[std::min<size_t>(static_cast<size_t>(APair.Failures), RetryWaitSeconds.size() - 1)];
  ++APair.Failures;
  APair.Due = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
  LogMessage(&Timer1, 2, vxtext::kRetryLater + EscapeLogText(AEnvelopeFile) + vxtext::kRecipientsField +
                             std::to_string(owed.Count()) + vxtext::kWaitField + std::to_string(wait));
  return false;
}

void TdmVxMailServers::RelayMessageDone() {
  if (FEnvelopeInHand.empty()) return;
  std::map<std::string, int> delivered;
  const TqvSmtpRelayStatusList& list = qvSmtpRelay1->StatusList();
  for (int i = 0; i < list.Count(); ++i)
    for (const TqvRelayRecipient& r : list.Items(i).Recipients)
      if (r.Outcome == TqvRelayOutcome::roDelivered) ++delivered[r.Email];
  TStringList rest;
  for (int i = 1; i < FEnvelopeLines.Count(); ++i) {
    auto it = delivered.find(FEnvelopeLines.Strings(i));
    if (it != delivered.end() && it->second > 0)
      --it->second;
    else
      rest.Add(FEnvelopeLines.Strings(i));
  }
  // Nothing new delivered, or everything: the end of the pair sees to it.
  if (rest.Count() == FEnvelopeLines.Count() - 1 || rest.Count() == 0) return;
  TqvRelayQueue::RewriteEnvelope(FEnvelopeInHand, FEnvelopeLines.Strings(0), rest);
  const std::string sender = FEnvelopeLines.Strings(0);
  FEnvelopeLines.Clear();
  FEnvelopeLines.Add(sender);
  FEnvelopeLines.AddStrings(rest);
}

void TdmVxMailServers::LogRelayOutcome() {
  const TqvSmtpRelayStatusList& list = qvSmtpRelay1->StatusList();
  for (int i = 0; i < list.Count(); ++i) {
    const TqvSmtpRelayStatus& status = list.Items(i);
    bool domainWaits = false;
    for (const TqvRelayRecipient& r : status.Recipients) {
      if (r.Outcome == TqvRelayOutcome::roDelivered) continue;
      if (!r.OwnReply) {
        domainWaits = domainWaits || r.Outcome == TqvRelayOutcome::roRetry;
        continue;
      }
      const char* what = r.Outcome == TqvRelayOutcome::roFailed ? vxtext::kRecipientRefused : vxtext::kRecipientDeferred;
      LogMessage(qvSmtpRelay1.get(), 2, what + EscapeLogText(r.Email) + vxtext::kCodeField +
                                            std::to_string(r.ErrorCode) + vxtext::kInfoField + EscapeLogText(r.ErrorText));
    }
    if (domainWaits)
      LogMessage(qvSmtpRelay1.get(), 2,
                 vxtext::kDomainDeferred + EscapeLogText(status.Domain) + vxtext::kCodeField +
                     std::to_string(status.ResponseCode) + vxtext::kErrorField + std::to_string(status.ErrorCode) +
                     vxtext::kInfoField + EscapeLogText(status.ErrorText));
  }
}

void TdmVxMailServers::CopyRecipients(const TStrings& AEnvelope, TStrings& ATarget) {
  ATarget.Clear();
  for (int i = 1; i < AEnvelope.Count(); ++i) ATarget.Add(AEnvelope.Strings(i));
}

bool TdmVxMailServers::CopyToBadFolder(const TqvRelayQueue& AQueue, const std::string& AEnvelopeFile,
                                       const std::string& ASender, const TStrings& AFailed,
                                       const TqvRelayRecipient& AReport) {
  const std::string own = AQueue.BadFolder() + plat::ChangeFileExt(plat::ExtractFileName(AEnvelopeFile), "");
  std::string placed;
  try {
    placed = AQueue.FileInBad(AEnvelopeFile, ASender, AFailed);
  } catch (const std::exception& e) {
    LogException(qvSmtpRelay1.get(), 2, vxtext::kProcessQueue, &e);
  }
  std::string outcome = placed.empty() ? vxtext::kCopyFailed : vxtext::kCopySucceeded;
  const bool moved = !placed.empty() && placed != own;
  LogBadCopy(AReport, AEnvelopeFile, outcome + (moved ? std::string(" ") + vxtext::kSavedAs + placed + ".ENV" : ""));
  LogBadCopy(AReport, TqvRelayQueue::MessageFile(AEnvelopeFile),
             outcome + (moved ? std::string(" ") + vxtext::kSavedAs + placed + ".MSG" : ""));
  return !placed.empty();
}

void TdmVxMailServers::LogBadCopy(const TqvRelayRecipient& AReport, const std::string& ASource,
                                  const std::string& AOutcome) {
  // The format's five fields filled in order; the peer's text is never
  // read as a format, and its control bytes are shown, not written.
  const std::string values[] = {std::to_string(AReport.ResponseCode), std::to_string(AReport.ErrorCode),
                                EscapeLogText(AReport.ErrorText), EscapeLogText(ASource), EscapeLogText(AOutcome)};
  const std::string format = vxtext::kDeliveryError;
  std::string text;
  size_t pos = 0, next = 0;
  for (size_t at; (at = format.find('%', pos)) != std::string::npos && next < 5; pos = at + 2)
    text += format.substr(pos, at - pos) + values[next++];
  text += format.substr(pos);
  LogMessage(qvSmtpRelay1.get(), 2, text);
}
