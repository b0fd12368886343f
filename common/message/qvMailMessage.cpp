#include "qvMailMessage.h"

#include "MessageLoop.h"
#include "Random.h"
#include "qvMailHeader.h"
#include "qvMessageDkimLink.h"
#include "qvMessageLines.h"
#include "qvTextUtils.h"
#include "qvMailDate.h"

#include <atomic>

using qvtext::LowerCase;
using qvtext::Trim;

namespace {

constexpr const char* kTransferEncodings[] = {"7bit", "quoted-printable", "base64", "", "8bit"};
constexpr const char* kImportance[] = {"Low", "", "High"};
constexpr const char* kXPriority[] = {"5", "", "1"};
constexpr const char* kPreamble = "This is a multi-part message in MIME format.";

std::string JoinLines(const TStrings& AList, const std::string& ASeparator) {
  std::string out;
  for (int i = 0; i < AList.Count(); ++i) out += (i > 0 ? ASeparator : "") + AList.Strings(i);
  return out;
}

}  // namespace

const char* TransferEncodingName(TqvEncodeMethod AMethod) {
  return AMethod >= cmNone && AMethod <= cm8Bit ? kTransferEncodings[AMethod] : "";
}

TqvMessageUpdate::TqvMessageUpdate(TqvMailMessage* AMessage) : FMessage(AMessage) { FMessage->BeginUpdate(); }
TqvMessageUpdate::~TqvMessageUpdate() { FMessage->EndUpdate(); }

// ---- life ----

TqvMailMessage::TqvMailMessage(TComponent* AOwner)
    : TComponent(AOwner),
      FBodies(std::make_unique<TqvMessageBodies>(this)),
      FDataBuffer(std::make_unique<TqvSpoolStream>()) {
  const auto changed = [this](TObject*) { Changed(); };
  FReferences.OnChange = changed;
  FNewsGroups.OnChange = changed;
  FExtraFields.OnChange = changed;
  FToList.OnChanged = changed;
  FCCList.OnChanged = changed;
  FBCCList.OnChanged = changed;
  FRegisteredFields.SetCaseSensitive(false);
  FCharsPerLine = 76;
  FAllowESC = false;
  FUseHeaderEncodingExtensions = false;
  FErrorProcessing = meExtractMaximumData;
  RegisterFields();
  ResetProperties();
}

TqvMailMessage::~TqvMailMessage() {
  FDestroying = true;
  if (FDkim) FDkim->RemoveFreeNotification(this);
  FBodies.reset();
}

void TqvMailMessage::RegisterFields() {
  for (const char* name :
       {"Content-Type", "Content-Disposition", "Content-Transfer-Encoding", "From", "To", "Cc", "Bcc", "Subject",
        "Date", "Importance", "X-Priority", "X-MSMail-Priority", "X-MimeOLE", "Reply-To",
        "Disposition-Notification-To", "Message-ID", "MIME-Version", "Newsgroups", "References", "List-Unsubscribe"})
    FRegisteredFields.Add(name);
}

void TqvMailMessage::ResetProperties() {
  TqvMessageUpdate update(this);
  FBoundary.clear();
  SetSubject("");
  FFrom.Clear();
  FToList.Clear();
  FCCList.Clear();
  FBCCList.Clear();
  SetPriority(mpNormal);
  SetDate(Now());
  FBodies->Clear();
  SetMessageFormat(mfNone);
  SetContentType("text/plain");
  SetContentSubType("");
  SetMimeOLE("");
  SetMessageID("");
  SetReplyTo("");
  FReferences.Clear();
  FNewsGroups.Clear();
  FExtraFields.Clear();
  SetReadReceiptTo("");
  SetListUnsubscribe("");
  SetContentDisposition("");
  FRawHeader.Clear();
  FBodyStart = 0;
  SetCharSet("iso-8859-1");
  SetEncoding(cmNone);
  SetHeaderEncoding(cmNone);
}

void TqvMailMessage::Clear() {
  TqvMessageUpdate update(this);
  const std::string charSet = FCharSet;
  const TqvEncodeMethod encoding = FEncoding, headerEncoding = FHeaderEncoding;
  ResetProperties();
  SetCharSet(charSet);
  SetEncoding(encoding);
  SetHeaderEncoding(headerEncoding);
}

// ---- change notification ----

void TqvMailMessage::EndUpdate() {
  if (FUpdateCount > 0) --FUpdateCount;
  Changed();
}

void TqvMailMessage::Changed() {
  if (FDestroying || FUpdateCount > 0) return;
  FSourceValid = false;
  FSource.Clear();
  DoChanged();
}

void TqvMailMessage::DoChanged() { TComponent::DoChanged(); }

void TqvMailMessage::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FDkim) {
    FDkim = nullptr;
    FSourceValid = false;
  }
}

void TqvMailMessage::SetDkim(TqvMessageDkimLink* AValue) {
  if (FDkim == AValue) return;
  if (FDkim) FDkim->RemoveFreeNotification(this);
  FDkim = AValue;
  if (FDkim) FDkim->FreeNotification(this);
  Changed();
}

// ---- events ----

void TqvMailMessage::DoSaveAttachment(TqvAttachmentBody* ABody, std::string& AFileName,
                                      std::unique_ptr<TStream>& AData, bool& Handled) {
  if (OnSaveAttachment) OnSaveAttachment(this, ABody, AFileName, AData, Handled);
}

void TqvMailMessage::DoLoadAttachment(TqvAttachmentBody* ABody, std::string& AFileName,
                                      std::unique_ptr<TStream>& AData, bool& Handled) {
  if (OnLoadAttachment) OnLoadAttachment(this, ABody, AFileName, AData, Handled);
}

void TqvMailMessage::DoAttachmentSaved(TqvAttachmentBody* ABody, const std::string& AFileName, TStream& AData) {
  if (OnAttachmentSaved) OnAttachmentSaved(this, ABody, AFileName, AData);
}

void TqvMailMessage::DoDataAdded(TqvMessageBody* ABody, TStream& AData) {
  if (OnDataAdded) OnDataAdded(this, ABody, AData);
}

void TqvMailMessage::DoEncodingProgress(TqvMessageBody* ABody, int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnEncodingProgress) OnEncodingProgress(this, ABody, ABytesProceed, ATotalBytes);
}

// ---- properties ----

void TqvMailMessage::SetDate(TDateTime AValue) {
  FTimeZone = TimeZoneToDateTime(GetTimeZoneBias(AValue));
  SetValue(FDate, AValue);
}

void TqvMailMessage::SetCharSet(const std::string& AValue) {
  if (qvtext::SameText(AValue, "iso-2022-jp")) {
    SetText(FCharSet, "iso-2022-jp");
    SetEncoding(cm8Bit);
    SetAllowESC(true);
    return;
  }
  SetText(FCharSet, AValue);
}

bool TqvMailMessage::GetIsMultiPartContent() const {
  if (FBodies->Count() > 1) return true;
  // A nested multipart as the only part still needs the message's boundary.
  if (FBodies->Count() == 1 && dynamic_cast<const TqvMultipartBody*>(FBodies->Items(0))) return true;
  return LowerCase(FContentType).starts_with("multipart/");
}

TqvEncodeMethod TqvMailMessage::GetHeaderEncoding() const {
  return FHeaderEncoding != cmNone ? FHeaderEncoding : FEncoding;
}

TqvMailHeaderFieldList TqvMailMessage::MakeFieldList() const {
  return TqvMailHeaderFieldList(FCharSet, FCharsPerLine, GetHeaderEncoding());
}

std::string TqvMailMessage::GenerateBoundary() {
  // The fixed-width counter after "_" (which the digits never hold) keeps
  // every boundary of this process distinct and never a prefix of another.
  static std::atomic<uint32_t> counter{0};
  const auto first = static_cast<int32_t>(plat::GetTickCount());
  const auto second = static_cast<int32_t>(plat::GetTickCount()) / 2;
  return "Mark=_" + std::to_string(first) + std::to_string(second) + std::to_string(plat::Random(1000)) + "_" +
         qvtext::IntToHex(++counter, 8);
}

// ---- building ----

std::string TqvMailMessage::AddressFingerprint() const {
  std::string out = FFrom.GetFullAddress();
  for (const TqvEmailAddressList* list : {&FToList, &FCCList, &FBCCList}) {
    out += '\n';
    for (int i = 0; i < list->Count(); ++i) out += list->Items(i)->GetFullAddress() + '\t';
  }
  return out;
}

const TStrings& TqvMailMessage::MessageSource() {
  // Address items do not report their own edits: compare them instead.
  std::string addresses = AddressFingerprint();
  if (FSourceValid && addresses == FSourceAddresses) return FSource;
  FSourceValid = false;
  FSource.Clear();
  try {
    BuildLines(FSource);
  } catch (...) {
    FSource.Clear();  // never keep half-built text
    throw;
  }
  FSourceValid = true;
  FSourceAddresses = std::move(addresses);
  return FSource;
}

void TqvMailMessage::BuildLines(TStrings& ALines) {
  FLinesPosition = 0;
  BuildHeader(ALines);
  if (GetIsMultiPartContent() && FMessageFormat != mfUUencode) {
    ALines.Add(kPreamble);
    ALines.Add("");
  }
  const int before = ALines.Count();
  TqvStringsLineSink sink(ALines);
  BuildBodies(sink);
  if (FNewsGroups.Count() > 0 && FLinesPosition > 0)
    ALines.Insert(FLinesPosition, "Lines: " + std::to_string(ALines.Count() - before));
  if (FDkim) FDkim->Sign(ALines);
}

void TqvMailMessage::SaveToStream(TStream& AStream) {
  TqvStreamLineSink sink(AStream);
  if (FNewsGroups.Count() > 0 || FDkim) {
    // The line count and the signature need the whole text first.
    const TStrings& lines = MessageSource();
    for (int i = 0; i < lines.Count(); ++i) sink.AddLine(lines.Strings(i));
  } else {
    TStringList header;
    FLinesPosition = 0;
    BuildHeader(header);
    for (int i = 0; i < header.Count(); ++i) sink.AddLine(header.Strings(i));
    if (GetIsMultiPartContent() && FMessageFormat != mfUUencode) {
      sink.AddLine(kPreamble);
      sink.AddLine("");
    }
    BuildBodies(sink);
  }
  sink.Flush();
}

void TqvMailMessage::BuildHeader(TStrings& ALines) {
  FBoundary = GenerateBoundary();
  TqvMailHeaderFieldList f = MakeFieldList();
  f.Parse(ALines.Count(), &ALines);
  // A message ID is one token: folding would put a TAB inside it.
  f.AddUnfoldedField("Message-ID", FMessageID);
  f.AddEncodedAddressField("From", FFrom.GetFullAddress());
  f.AddEncodedAddressField("Reply-To", FReplyTo);
  f.AddField("Newsgroups", JoinLines(FNewsGroups, ","));
  f.AddField("References", JoinLines(FReferences, " "));
  f.AddAddressListField("To", FToList);
  f.AddAddressListField("Cc", FCCList);
  f.AddAddressListField("Bcc", FBCCList);
  f.AddEncodedField("Subject", FSubject);
  f.AddField("Date", DateTimeToMailTime(FDate));
  FLinesPosition = ALines.Count();
  if (FMessageFormat != mfUUencode) f.AddField("MIME-Version", "1.0");
  AssignContentType(f);
  f.AddField("Content-Disposition", FContentDisposition);
  if (!GetIsMultiPartContent()) {
    TqvEncodeMethod method = FEncoding;
    if (method == cmNone && FBodies->Count() == 1) method = FBodies->Items(0)->GetEncoding();
    f.AddField("Content-Transfer-Encoding", TransferEncodingName(method));
  }
  f.AddField("Importance", kImportance[FPriority]);
  f.AddField("X-Priority", kXPriority[FPriority]);
  f.AddField("X-MimeOLE", FMimeOLE);
  f.AddEncodedAddressField("Disposition-Notification-To", FReadReceiptTo);
  f.AddUnfoldedField("List-Unsubscribe", FListUnsubscribe);
  f.AddLines(FExtraFields);
  f.AddEndOfHeader();
}

void TqvMailMessage::AssignContentType(TqvMailHeaderFieldList& AFields) {
  if (FMessageFormat == mfUUencode) return;
  std::string type = Trim(FContentType);
  if (GetIsMultiPartContent()) {
    // Parts need a multipart type, whatever single-part type was left set.
    if (!LowerCase(type).starts_with("multipart/")) type = "multipart/mixed";
    AFields.AddField("Content-Type", type);
    AFields.AddQuotedFieldItem("Content-Type", "type", false, FContentSubType);
    AFields.AddQuotedFieldItem("Content-Type", "boundary", false, FBoundary);
  } else {
    AFields.AddField("Content-Type", type.empty() ? "text/plain" : type);
    AFields.AddFieldItem("Content-Type", "charset", FCharSet);
  }
}

void TqvMailMessage::BuildBodies(TqvLineSink& ASink) {
  if (FBoundary.empty()) FBoundary = GenerateBoundary();
  const bool uu = FMessageFormat == mfUUencode;
  const bool multi = GetIsMultiPartContent();
  TqvMailMessage* settings = FBodies->Message();
  for (int i = 0; i < FBodies->Count(); ++i) {
    TqvMessageBody* body = FBodies->Items(i);
    const auto* attachment = dynamic_cast<TqvAttachmentBody*>(body);
    if (!uu && multi) {
      ASink.AddLine("--" + FBoundary);
      TStringList header;
      TqvMailHeaderFieldList f = settings->MakeFieldList();
      f.Parse(0, &header);
      body->AssignBodyHeader(f);
      for (int k = 0; k < header.Count(); ++k) ASink.AddLine(header.Strings(k));
      ASink.AddLine("");
    }
    if (uu && attachment) ASink.AddLine("begin 644 " + ExtractMailFileName(attachment->FileName()));
    body->WriteEncodedData(ASink);
    if (uu && attachment) ASink.AddLine("end");
    if (multi) ASink.AddLine("");
  }
  if (!uu && multi) ASink.AddLine("--" + FBoundary + "--");
}
