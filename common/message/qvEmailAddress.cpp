#include "qvEmailAddress.h"

#include "StringList.h"
#include "qvIdnTranslator.h"
#include "qvTextUtils.h"
#include "qvTextSplit.h"

namespace {

bool IsAsciiAddressChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?_`{}|~^.@\"").find(c) != std::string_view::npos;
}

// Removes the first occurrence of ASub, ignoring ASCII case.
std::string RemoveFirstText(std::string_view AText, std::string_view ASub) {
  const size_t at = qvtext::FindText(AText, ASub);
  if (at == std::string_view::npos) return std::string(AText);
  return std::string(AText.substr(0, at)) + std::string(AText.substr(at + ASub.size()));
}

std::string Unescape(std::string_view AText) {
  std::string r;
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] == '\\' && i + 1 < AText.size()) {
      r += AText[++i];
    } else if (AText[i] == '\\') {
      // a trailing backslash escapes nothing
    } else {
      r += AText[i] == '"' ? ' ' : AText[i];
    }
  }
  return r;
}

}  // namespace

void TqvEmailAddressItem::SetFullAddress(std::string_view AText) {
  const bool ascii = TqvIdnTranslator::IsAscii(AText);
  const auto valid = [&](char c) { return ascii ? IsAsciiAddressChar(c) : (c != '<' && c != '>'); };
  const auto escaped = [&](size_t i) { return i > 0 && AText[i - 1] == '\\'; };
  constexpr size_t kNone = std::string_view::npos;
  std::string result;
  size_t run = kNone;
  bool inQuotes = false, inAngle = false, inComment = false, hasAt = false;
  const size_t n = AText.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = AText[i];
    if (!inQuotes && !inComment && c == '@' && i != 0 && i + 1 != n && valid(AText[i - 1]) && valid(AText[i + 1]))
      hasAt = true;
    if (c == '"' && !escaped(i)) inQuotes = !inQuotes;
    if (c == '<' && !escaped(i)) {
      inAngle = true;
      run = kNone;
      continue;
    }
    if (inAngle && c == '>' && !escaped(i)) {
      // "<>" is the null address itself, whatever text stands around it.
      result = run != kNone ? std::string(AText.substr(run, i - run)) : std::string("<>");
      run = kNone;
      inAngle = false;
    }
    if (c == '(' && !escaped(i) && !inQuotes)
      inComment = true;
    else if (c == ')' && !escaped(i) && inComment)
      inComment = false;
    if (inQuotes || inAngle || valid(c)) {
      if (run == kNone) run = i;
    } else {
      if (hasAt && run != kNone) result = std::string(AText.substr(run, i - run));
      run = kNone;
      hasAt = false;
    }
  }
  if ((hasAt || inAngle) && run != kNone && result.empty()) result = std::string(AText.substr(run));
  FEmail = result;

  std::string rest;
  const std::string bracketed = "<" + FEmail + ">";
  if (qvtext::FindText(AText, bracketed) != std::string_view::npos)
    rest = RemoveFirstText(AText, bracketed);
  else if (!FEmail.empty())
    rest = RemoveFirstText(AText, FEmail);
  else
    rest = std::string(AText);
  rest = qvtext::Trim(Unescape(rest));
  rest = ExtractQuotedString(rest, '\'');
  FName = ExtractQuotedString(rest, '(', ')');
}

std::string TqvEmailAddressItem::GetFullAddress() const {
  if (FName.empty() || FName == FEmail) return FEmail;
  // No address: the text is a name or a group ("undisclosed-recipients:;").
  if (FEmail.empty()) return FName;
  std::string name = FName;
  if (name.find_first_of("\"()\\") != std::string::npos) {
    std::string esc;
    for (const char c : name) {
      if (c == '"' || c == '(' || c == ')' || c == '\\') esc += '\\';
      esc += c;
    }
    name = GetQuotedString(esc);
  }
  // A bare comma or colon would split the name off as an address of its own.
  if (name.find_first_of(" ,;:<>@[]") != std::string::npos) name = GetQuotedString(name);
  return name + FDelimiter + "<" + FEmail + ">";
}

void TqvEmailAddressItem::Assign(const TPersistent& Source) {
  if (const auto* src = dynamic_cast<const TqvEmailAddressItem*>(&Source)) {
    FName = src->FName;
    FEmail = src->FEmail;
    return;
  }
  TCollectionItem::Assign(Source);
}

std::string TqvEmailAddressItem::GetDisplayName() const { return FName.empty() ? FEmail : FName; }

void TqvEmailAddressItem::Clear() {
  FName.clear();
  FEmail.clear();
}

TqvEmailAddressItem* TqvEmailAddressList::AddFullAddress(std::string_view AText) {
  TqvEmailAddressItem* item = Add();
  item->SetFullAddress(AText);
  return item;
}

void TqvEmailAddressList::GetAsStrings(TStrings& AList, bool AClear) const {
  if (AClear) AList.Clear();
  for (int i = 0; i < Count(); ++i) AList.Add(Items(i)->GetFullAddress());
}

std::unique_ptr<TCollectionItem> TqvEmailAddressList::CreateItem() const {
  return std::make_unique<TqvEmailAddressItem>();
}

std::string BuildFullAddress(std::string_view AName, std::string_view AEmail) {
  TqvEmailAddressItem item;
  item.SetName(std::string(AName));
  item.SetEmail(std::string(AEmail));
  return item.GetFullAddress();
}

bool GetEmailAddressParts(std::string_view AFullAddress, std::string& AName, std::string& AEmail) {
  TqvEmailAddressItem item;
  item.SetFullAddress(AFullAddress);
  AEmail = item.Email();
  AName = item.Name();
  if (!AName.empty()) return true;
  AName = AEmail;
  return false;
}
