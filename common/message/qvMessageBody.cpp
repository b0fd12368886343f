#include "qvMessageBody.h"

#include "DateTime.h"
#include "Random.h"
#include "Streams.h"
#include "qvMailHeader.h"
#include "qvMailMessage.h"
#include "qvMessageLines.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"
#include "qvStringsUtils.h"

#include <charconv>

using qvtext::LowerCase;
using qvtext::Trim;

namespace {

void ForEachNested(TqvMessageBodies& ABodies, const std::function<void(TqvMessageBody&)>& AAction) {
  for (int i = 0; i < ABodies.Count(); ++i) {
    TqvMessageBody* body = ABodies.Items(i);
    AAction(*body);
    if (auto* multi = dynamic_cast<TqvMultipartBody*>(body)) ForEachNested(multi->Bodies(), AAction);
  }
}

}  // namespace

// ---- file names ----

std::string SanitizeFileName(std::string_view AName) {
  static constexpr std::string_view kForbidden("\0\"*/:<>?\\|", 10);
  std::string out(AName);
  for (char& c : out)
    if (kForbidden.find(c) != std::string_view::npos) c = '_';
  if (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  return out.empty() ? "_" : out;
}

std::string ExtractMailFileName(std::string_view AName) {
  const size_t cut = AName.find_last_of("/\\:");
  return std::string(cut == std::string_view::npos ? AName : AName.substr(cut + 1));
}

std::string SafeAttachmentFileName(std::string_view AName) {
  std::string name = SanitizeFileName(ExtractMailFileName(AName));
  while (!name.empty() && name.front() == '.') name.erase(0, 1);  // no "..", no hidden files
  return name.empty() ? "_" : name;
}

// ---- the list ----

TqvMessageBodies::TqvMessageBodies(TqvMailMessage* AMessage) : FMessage(AMessage) { Assert(AMessage != nullptr); }

TqvMessageBodies::~TqvMessageBodies() = default;

TqvMessageBody* TqvMessageBodies::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError::OutOfBounds(AIndex);
  return FItems[static_cast<size_t>(AIndex)].get();
}

void TqvMessageBodies::Adopt(std::unique_ptr<TqvMessageBody> ABody) {
  TqvMessageBody* body = ABody.get();
  FItems.push_back(std::move(ABody));
  body->DoCreate();
  body->Clear();
  FMessage->Changed();
}

TqvAttachmentBody* TqvMessageBodies::AddAttachment(const std::string& AFileName) {
  auto* body = Add<TqvAttachmentBody>();
  body->SetFileName(AFileName);
  return body;
}

void TqvMessageBodies::Clear() {
  FItems.clear();
  FMessage->Changed();
}

void TqvMessageBodies::Delete(int AIndex) {
  (void)Items(AIndex);
  FItems.erase(FItems.begin() + AIndex);
  FMessage->Changed();
}

int TqvMessageBodies::IndexOf(const TqvMessageBody* ABody) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == ABody) return static_cast<int>(i);
  return -1;
}

void TqvMessageBodies::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TqvMessageBodies*>(&Source);
  if (!src) return TPersistent::Assign(Source);
  if (src == this) return;
  TqvMessageUpdate update(FMessage);
  Clear();
  for (int i = 0; i < src->Count(); ++i) {
    TqvMessageBody* body = src->Items(i)->AddSameClass(*this);
    body->Assign(*src->Items(i));
  }
}

void TqvMessageBodies::SetMessage(TqvMailMessage* AMessage) {
  Assert(AMessage != nullptr);
  FMessage = AMessage;
}

// ---- the body base ----

TqvMessageBody::TqvMessageBody(TqvMessageBodies* AOwner) : FOwner(AOwner) {
  Assert(AOwner != nullptr);
  FEncoder.SetSuppressCrlf(false);
  FEncoder.OnProgress = [this](TObject*, int64_t ADone, int64_t ATotal) {
    Message()->DoEncodingProgress(this, ADone, ATotal);
  };
  FExtraFields.OnChange = [this](TObject*) { Changed(); };
  FRegisteredNames.SetCaseSensitive(false);
}

TqvMessageBody::~TqvMessageBody() = default;

void TqvMessageBody::DoCreate() { RegisterFields(); }

void TqvMessageBody::RegisterFields() {
  for (const char* name : {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition"})
    FRegisteredNames.Add(name);
}

void TqvMessageBody::Changed() { Message()->Changed(); }

void TqvMessageBody::Clear() {
  FExtraFields.Clear();
  FRawHeader.Clear();
  FContentType.clear();
  FContentDisposition.clear();
  FEncoding = Message()->Encoding();
  FEncodedSize = 0;
  FEncodedLines = 0;
  FDataStart = 0;
  FHeaderStart = 0;
}

void TqvMessageBody::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TqvMessageBody*>(&Source);
  if (!src) return TPersistent::Assign(Source);
  TqvMessageUpdate update(Message());
  FExtraFields.Assign(src->FExtraFields);
  SetContentType(src->FContentType);
  SetEncoding(src->GetEncoding());
  SetContentDisposition(src->FContentDisposition);
  FRawHeader.Assign(src->FRawHeader);
  FEncodedSize = src->FEncodedSize;
  FEncodedLines = src->FEncodedLines;
  FDataStart = src->FDataStart;
  FHeaderStart = src->FHeaderStart;
}

void TqvMessageBody::SetContentType(const std::string& AValue) {
  if (AssignIfDifferent(FContentType, AValue)) Changed();
}

void TqvMessageBody::SetEncoding(TqvEncodeMethod AValue) {
  if (AssignIfDifferent(FEncoding, AValue)) Changed();
}

void TqvMessageBody::SetContentDisposition(const std::string& AValue) {
  if (AssignIfDifferent(FContentDisposition, AValue)) Changed();
}

TqvEncodeMethod TqvMessageBody::GetEncoding() const {
  const TqvMailMessage* m = Message();
  if (!m->GetIsMultiPartContent() && m->Encoding() != cmNone) return m->Encoding();
  return FEncoding;
}

void TqvMessageBody::AssignBodyHeader(TqvMailHeaderFieldList&) {}

void TqvMessageBody::ParseBodyHeader(TqvMailHeaderFieldList& AFields) {
  const std::string type = AFields.GetFieldValue("Content-Type");
  FContentType = Trim(type.substr(0, type.find(';')));
  FEncoding = Message()->Encoding();
  const std::string cte = LowerCase(AFields.GetFieldValue("Content-Transfer-Encoding"));
  if (cte == "quoted-printable") FEncoding = cmQuotedPrintable;
  if (cte == "base64") FEncoding = cmBase64;
  AFields.HeaderEncoding = GetEncoding();
  const std::string disp = AFields.GetFieldValue("Content-Disposition");
  FContentDisposition = Trim(disp.substr(0, disp.find(';')));
}

void TqvMessageBody::PrepareEncoder() {
  const TqvMailMessage* m = Message();
  FEncoder.SetAllowESC(m->AllowESC());
  FEncoder.SetCharsPerLine(m->CharsPerLine());
  FEncoder.SetEncodeMethod(GetEncoding());
}

void TqvMessageBody::AddData(TStream& AStream, int ALineCount) {
  std::unique_ptr<TStream> dest = GetDestinationStream();
  if (HasEncodedData() && AStream.Size() > 0 && ALineCount > 0) {
    FEncodedSize = AStream.Size();
    FEncodedLines = ALineCount;
  }
  BeforeDataAdded(AStream);
  AStream.SetPosition(0);
  if (!dest) return;
  DecodeData(AStream, *dest);
  DataAdded(*dest);
}

void TqvMessageBody::BeforeDataAdded(TStream& AStream) {
  const int64_t size = AStream.Size();
  if (size <= 1) return;
  char tail[2];
  AStream.SetPosition(size - 2);
  AStream.ReadBuffer(tail, 2);
  if (tail[0] == '\r' && tail[1] == '\n') AStream.SetSize(size - 2);
}

void TqvMessageBody::DataAdded(TStream& AStream) {
  AStream.SetPosition(0);
  Message()->DoDataAdded(this, AStream);
}

void TqvMessageBody::DecodeData(TStream& ASource, TStream& ADestination) {
  const TqvMessageErrorProcessing mode = Message()->ErrorProcessing();
  FEncoder.SetErrorProcessing(mode == meExtractMaximumData ? epContinue : epStop);
  FEncoder.SetEncodeMethod(GetEncoding());
  try {
    DecodeStreamInPieces(FEncoder, ASource, ADestination);
  } catch (const EqvEncoderError&) {
    if (mode == meStop) throw;
    if (mode == meIgnore) {
      ADestination.SetSize(0);
      ADestination.SetPosition(0);
      ASource.SetPosition(0);
      FEncoder.SetEncodeMethod(cmNone);
      DecodeStreamInPieces(FEncoder, ASource, ADestination);
    }
  }
}

void TqvMessageBody::WriteEncodedData(TqvLineSink& ASink) {
  std::unique_ptr<TStream> source = GetSourceStream();
  if (!source) return;
  PrepareEncoder();
  TqvLineSplitter lines(ASink);
  EncodeStreamToLines(FEncoder, *source, lines, [this](TObject*, int64_t ADone, int64_t ATotal) {
    Message()->DoEncodingProgress(this, ADone, ATotal);
  });
}

void TqvMessageBody::AssignEncodingIfNeed() {
  if (GetEncoding() != cmNone || Message()->Parsing()) return;
  std::unique_ptr<TStream> source = GetSourceStream();
  if (!source) return;
  FEncoder.SetAllowESC(Message()->AllowESC());
  FEncoder.SetCharsPerLine(Message()->CharsPerLine());
  FEncoding = FEncoder.GetPreferredEncoding(*source);
}

// ---- text ----

TqvTextBody::TqvTextBody(TqvMessageBodies* AOwner) : TqvMessageBody(AOwner) {
  FStrings.OnChange = [this](TObject*) {
    AssignEncodingIfNeed();
    Changed();
  };
}

TqvMessageBody* TqvTextBody::AddSameClass(TqvMessageBodies& AList) const { return AList.Add<TqvTextBody>(); }

void TqvTextBody::Assign(const TPersistent& Source) {
  TqvMessageUpdate update(Message());
  if (const auto* src = dynamic_cast<const TqvTextBody*>(&Source)) {
    FStrings.Assign(src->FStrings);
    SetCharSet(src->FCharSet);
  }
  TqvMessageBody::Assign(Source);
}

void TqvTextBody::SetCharSet(const std::string& AValue) {
  if (AssignIfDifferent(FCharSet, AValue)) Changed();
}

std::string TqvTextBody::GetCharSet() const {
  return Message()->GetIsMultiPartContent() ? FCharSet : Message()->CharSet();
}

void TqvTextBody::Clear() {
  TqvMessageBody::Clear();
  FStrings.Clear();
  SetContentType("text/plain");
  FCharSet = Message()->CharSet();
}

void TqvTextBody::AssignBodyHeader(TqvMailHeaderFieldList& AFields) {
  AFields.AddField("Content-Type", ContentType());
  const std::string cs = GetCharSet();
  if (!ContentType().empty() && !cs.empty()) AFields.AddFieldItem("Content-Type", "charset", cs);
  AFields.AddField("Content-Transfer-Encoding", TransferEncodingName(GetEncoding()));
  AFields.AddLines(ExtraFields());
}

void TqvTextBody::ParseBodyHeader(TqvMailHeaderFieldList& AFields) {
  TqvMessageBody::ParseBodyHeader(AFields);
  FCharSet = AFields.GetItem(AFields.GetFieldValue("Content-Type"), "charset");
  AFields.CharSet = GetCharSet();
}

std::unique_ptr<TStream> TqvTextBody::GetSourceStream() {
  std::string text;
  for (int i = 0; i < FStrings.Count(); ++i) text += FStrings.Strings(i) + "\r\n";
  if (text.size() > 2) text.resize(text.size() - 2);
  std::string cs = GetCharSet();
  if (cs.empty()) cs = Message()->CharSet();
  const TBytes bytes = TqvTranslator::GetBytes(text, cs);
  return std::make_unique<TStringStream>(std::string(bytes.begin(), bytes.end()));
}

std::unique_ptr<TStream> TqvTextBody::GetDestinationStream() { return std::make_unique<TqvSpoolStream>(); }

void TqvTextBody::DataAdded(TStream& AStream) {
  if (AStream.Size() > 0) {
    // The whole text, NUL bytes read as blanks: a stray NUL must not cut it short.
    AStream.SetPosition(0);
    TqvStringsUtils lines(FStrings, GetCharSet());
    lines.BatchSize = 1024 * 1024;
    (void)lines.AddTextStream(AStream);
  }
  TqvMessageBody::DataAdded(AStream);
}

// ---- attachment ----

TqvAttachmentBody::TqvAttachmentBody(TqvMessageBodies* AOwner) : TqvMessageBody(AOwner) {}

TqvMessageBody* TqvAttachmentBody::AddSameClass(TqvMessageBodies& AList) const {
  return AList.Add<TqvAttachmentBody>();
}

void TqvAttachmentBody::Assign(const TPersistent& Source) {
  TqvMessageUpdate update(Message());
  if (const auto* src = dynamic_cast<const TqvAttachmentBody*>(&Source)) {
    StoreFileName(src->FFileName);
    StoreContentID(src->FContentID);
    FNamedByCaller = src->FNamedByCaller;
  }
  TqvMessageBody::Assign(Source);
}

void TqvAttachmentBody::RegisterFields() {
  TqvMessageBody::RegisterFields();
  RegisteredNames().Add("Content-Description");
  RegisteredNames().Add("Content-ID");
}

void TqvAttachmentBody::Clear() {
  TqvMessageBody::Clear();
  FFileName.clear();
  FNamedByCaller = false;
  SetContentType("application/octet-stream");
  FContentID.clear();
}

void TqvAttachmentBody::StoreFileName(const std::string& AValue) {
  if (AssignIfDifferent(FFileName, AValue)) Changed();
}

void TqvAttachmentBody::StoreContentID(const std::string& AValue) {
  if (AssignIfDifferent(FContentID, AValue)) Changed();
}

void TqvAttachmentBody::SetFileName(const std::string& AValue) {
  // A name the parser found ("begin 644 <name>") is the mail's, not a file.
  FNamedByCaller = !Message()->Parsing();
  if (FFileName == AValue) return;
  FFileName = AValue;
  {
    FChoosingEncoding = true;
    struct TReset {
      bool& Flag;
      ~TReset() { Flag = false; }
    } reset{FChoosingEncoding};
    AssignEncodingIfNeed();
  }
  Changed();
}

void TqvAttachmentBody::SetContentID(const std::string& AValue) { StoreContentID(AValue); }

TqvEncodeMethod TqvAttachmentBody::GetEncoding() const {
  return Message()->MessageFormat() == mfUUencode ? cmUUEncode : TqvMessageBody::GetEncoding();
}

void TqvAttachmentBody::AssignBodyHeader(TqvMailHeaderFieldList& AFields) {
  const std::string name = ExtractMailFileName(FFileName);
  const bool extended = Message()->UseHeaderEncodingExtensions();
  AFields.AddField("Content-Type", ContentType());
  if (!ContentType().empty() && !FFileName.empty()) {
    AFields.AddParameter("Content-Type", "name", name);
    if (extended) AFields.AddParameter("Content-Type", "name*", name);
  }
  AFields.AddField("Content-Transfer-Encoding", TransferEncodingName(GetEncoding()));
  AFields.AddField("Content-Disposition", ContentDisposition().empty() ? "attachment" : ContentDisposition());
  if (!FFileName.empty()) {
    AFields.AddParameter("Content-Disposition", "filename", name);
    if (extended) AFields.AddParameter("Content-Disposition", "filename*", name);
  }
  if (!FContentID.empty()) AFields.AddField("Content-ID", "<" + FContentID + ">");
  AFields.AddLines(ExtraFields());
}

void TqvAttachmentBody::ParseBodyHeader(TqvMailHeaderFieldList& AFields) {
  TqvMessageBody::ParseBodyHeader(AFields);
  const std::string type = AFields.GetFieldValue("Content-Type");
  const std::string disp = AFields.GetFieldValue("Content-Disposition");
  std::string name = AFields.GetParameter(disp, "filename*");
  if (name.empty()) name = AFields.GetParameter(disp, "filename");
  if (name.empty()) name = AFields.GetParameter(type, "filename");
  if (name.empty()) {
    name = AFields.GetDecodedFieldValue("Content-Description");
    if (!name.empty()) {
      if (name.size() > 3 && name[name.size() - 4] != '.') name += ".dat";
      name = SanitizeFileName(name);
    }
  }
  if (name.empty()) {
    name = AFields.GetParameter(type, "name*");
    if (!name.empty()) name = SanitizeFileName(name);
  }
  if (name.empty()) {
    name = AFields.GetParameter(type, "name");
    if (!name.empty()) name = SanitizeFileName(name);
  }
  if (name.empty() && qvtext::SameText(ContentType(), "message/rfc822")) {
    // The embedded message's header starts right after this part's header.
    TqvMailHeaderFieldList inner(AFields.CharSet, AFields.CharsPerLine(), AFields.HeaderEncoding);
    inner.Parse(AFields.HeaderEnd() + 1, AFields.Source());
    const std::string subject = inner.GetDecodedFieldValue("Subject");
    if (!subject.empty()) name = SanitizeFileName(subject + ".eml");
  }
  FFileName = name;
  std::string id = AFields.GetFieldValue("Content-ID");
  if (id.size() > 1 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  FContentID = id;
}

std::unique_ptr<TStream> TqvAttachmentBody::GetDestinationStream() {
  std::unique_ptr<TStream> data;
  bool handled = false;
  std::string name = FFileName;
  Message()->DoSaveAttachment(this, name, data, handled);
  StoreFileName(name);
  return data;
}

std::unique_ptr<TStream> TqvAttachmentBody::GetSourceStream() {
  std::unique_ptr<TStream> data;
  bool handled = false;
  std::string name = FFileName;
  Message()->DoLoadAttachment(this, name, data, handled);
  if (name != FFileName) {
    FFileName = name;
    FNamedByCaller = true;
  }
  if (handled) return data;
  if (!FNamedByCaller) {
    if (FChoosingEncoding) return nullptr;
    throw Exception("Attachment \"" + ExtractMailFileName(FFileName) +
                    "\" has no data: name its file with FileName or give it through OnLoadAttachment");
  }
  if (FChoosingEncoding) {
    try {
      return std::make_unique<TFileStream>(FFileName, fmOpenRead | fmShareDenyWrite);
    } catch (const EFOpenError&) {
      return nullptr;  // no file yet: the encoding is chosen when it is built
    }
  }
  return std::make_unique<TFileStream>(FFileName, fmOpenRead | fmShareDenyWrite);
}

void TqvAttachmentBody::DataAdded(TStream& AStream) {
  TqvMessageBody::DataAdded(AStream);
  AStream.SetPosition(0);
  Message()->DoAttachmentSaved(this, FFileName, AStream);
}

// ---- image ----

TqvMessageBody* TqvImageBody::AddSameClass(TqvMessageBodies& AList) const { return AList.Add<TqvImageBody>(); }

void TqvImageBody::Clear() {
  TqvAttachmentBody::Clear();
  SetContentType("");
  SetEncoding(cmBase64);
}

void TqvImageBody::SetFileName(const std::string& AValue) {
  TqvAttachmentBody::SetFileName(AValue);
  if (FileName().empty()) return;
  if (ContentID().empty()) {
    char stamp[40];
    // Locale-independent: the decimal point is always ".".
    const auto res = std::to_chars(stamp, stamp + sizeof stamp, Now(), std::chars_format::general, 15);
    SetContentID(ExtractMailFileName(FileName()) + "@" + std::string(stamp, res.ptr) + "." +
                 std::to_string(plat::Random(1000)));
  }
  if (ContentType().empty()) {
    const std::string& f = FileName();
    const size_t dot = f.find_last_of("./\\:");
    SetContentType("image/" + (dot != std::string::npos && f[dot] == '.' ? f.substr(dot + 1) : std::string()));
  }
}

void TqvImageBody::AssignBodyHeader(TqvMailHeaderFieldList& AFields) {
  const std::string name = ExtractMailFileName(FileName());
  AFields.AddField("Content-Type", ContentType());
  if (!ContentType().empty() && !FileName().empty()) AFields.AddParameter("Content-Type", "name", name);
  AFields.AddField("Content-Transfer-Encoding", TransferEncodingName(GetEncoding()));
  if (!ContentDisposition().empty()) {
    AFields.AddField("Content-Disposition", ContentDisposition());
    if (!FileName().empty()) AFields.AddParameter("Content-Disposition", "filename", name);
  }
  AFields.AddField("Content-ID", "<" + ContentID() + ">");
  AFields.AddLines(ExtraFields());
}

void TqvImageBody::ParseBodyHeader(TqvMailHeaderFieldList& AFields) {
  TqvAttachmentBody::ParseBodyHeader(AFields);
  const std::string type = AFields.GetFieldValue("Content-Type");
  StoreFileName(AFields.GetParameter(type, "name"));
}

// ---- nested multipart ----

TqvMultipartBody::TqvMultipartBody(TqvMessageBodies* AOwner) : TqvMessageBody(AOwner) {}

TqvMultipartBody::~TqvMultipartBody() = default;

TqvMessageBody* TqvMultipartBody::AddSameClass(TqvMessageBodies& AList) const {
  return AList.Add<TqvMultipartBody>();
}

void TqvMultipartBody::DoCreate() {
  TqvMessageBody::DoCreate();
  FInner = std::make_unique<TqvMailMessage>();
  FInner->Bodies().SetMessage(Message());
  FInner->Bodies().Depth = Owner()->Depth + 1;
}

TqvMessageBodies& TqvMultipartBody::Bodies() const { return FInner->Bodies(); }

std::string TqvMultipartBody::Boundary() const { return FInner->Boundary(); }

void TqvMultipartBody::SetBoundary(const std::string& AValue) {
  FInner->SetBoundary(AValue);
  Changed();
}

void TqvMultipartBody::SetContentSubType(const std::string& AValue) {
  if (AssignIfDifferent(FContentSubType, AValue)) Changed();
}

void TqvMultipartBody::SetContentType(const std::string& AValue) {
  TqvMessageBody::SetContentType(AValue);
  if (FInner) FInner->SetContentType(AValue);
}

void TqvMultipartBody::Assign(const TPersistent& Source) {
  TqvMessageUpdate update(Message());
  if (const auto* src = dynamic_cast<const TqvMultipartBody*>(&Source)) {
    Bodies().Assign(src->Bodies());
    SetBoundary(src->Boundary());
    SetContentSubType(src->FContentSubType);
  }
  TqvMessageBody::Assign(Source);
}

void TqvMultipartBody::Clear() {
  TqvMessageBody::Clear();
  FInner->Bodies().Clear();
  SetContentType("multipart/mixed");
  FContentSubType.clear();
  FInner->SetBoundary("");
  SetEncoding(cmNone);
}

void TqvMultipartBody::AssignBodyHeader(TqvMailHeaderFieldList& AFields) {
  FInner->SetBoundary(TqvMailMessage::GenerateBoundary());
  AFields.AddField("Content-Type", ContentType());
  if (!ContentType().empty() && !FContentSubType.empty())
    AFields.AddQuotedFieldItem("Content-Type", "type", false, FContentSubType);
  AFields.AddQuotedFieldItem("Content-Type", "boundary", false, FInner->Boundary());
  AFields.AddLines(ExtraFields());
  AFields.AddEndOfHeader();
}

void TqvMultipartBody::ParseBodyHeader(TqvMailHeaderFieldList& AFields) {
  TqvMessageBody::ParseBodyHeader(AFields);
  const std::string type = AFields.GetFieldValue("Content-Type");
  FInner->SetContentType(ContentType());
  FInner->SetBoundary(AFields.GetItem(type, "boundary"));
  FContentSubType = AFields.GetItem(type, "type");
  SetEncoding(cmNone);
}

std::unique_ptr<TStream> TqvMultipartBody::GetSourceStream() {
  TStringList lines;
  TqvStringsLineSink sink(lines);
  FInner->BuildBodies(sink);
  auto out = std::make_unique<TStringStream>();
  for (int i = 0; i < lines.Count(); ++i) out->WriteString(lines.Strings(i) + "\r\n");
  out->SetPosition(0);
  return out;
}

std::unique_ptr<TStream> TqvMultipartBody::GetDestinationStream() { return std::make_unique<TqvSpoolStream>(); }

void TqvMultipartBody::WriteEncodedData(TqvLineSink& ASink) { FInner->BuildBodies(ASink); }

void TqvMultipartBody::DataAdded(TStream& AStream) {
  TqvStreamLines lines(AStream);
  FInner->ParseBodies(lines);
  const int start = DataStart();
  ForEachNested(FInner->Bodies(), [start](TqvMessageBody& ABody) {
    ABody.SetPositions(ABody.HeaderStart() + start, ABody.DataStart() + start);
  });
  SetEncodedLines(lines.Count());
}
