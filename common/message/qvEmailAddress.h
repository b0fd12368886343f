// One e-mail address (display name and mailbox address) read from and written to the
// full form headers and SMTP commands carry ("Name" <local@domain>), and an
// owned list of them (To, Cc, Bcc). The parser is lenient: it finds an address
// in free text with quotes, angle brackets and comments and never raises.
// Names are kept unquoted and unescaped; writing quotes a name that holds a
// blank or a character that would split or end it (",", ";", ":", "<", ">",
// "@", "[", "]") and escapes quotes, parentheses and backslashes; a name
// without an address is written alone, as it stands. One thread
// at a time; Items(i) raises EListError out of range.
#pragma once

#include "ClassCore.h"

#include <memory>
#include <string>
#include <string_view>

class TStrings;

class TqvEmailAddressItem : public TCollectionItem {
 public:
  TqvEmailAddressItem() { InitDefaults(); }
  VX_CLASS_NAME("TqvEmailAddressItem")

  const std::string& Name() const { return FName; }
  void SetName(std::string v) { FName = std::move(v); }
  const std::string& Email() const { return FEmail; }
  void SetEmail(std::string v) { FEmail = std::move(v); }
  // Put between the written name and "<"; " " unless a writer changes it.
  const std::string& Delimiter() const { return FDelimiter; }
  void SetDelimiter(std::string v) { FDelimiter = std::move(v); }

  [[nodiscard]] std::string GetFullAddress() const;
  // Sets Email, then Name, from free text.
  void SetFullAddress(std::string_view AText);

  // Name and Email from another address item (not the delimiter).
  void Assign(const TPersistent& Source) override;
  // Name, or Email when there is no name.
  [[nodiscard]] std::string GetDisplayName() const;
  virtual void Clear();

 protected:
  virtual void InitDefaults() { FDelimiter = " "; }

 private:
  std::string FName;
  std::string FEmail;
  std::string FDelimiter;
};

class TqvEmailAddressList : public TCollection {
 public:
  VX_CLASS_NAME("TqvEmailAddressList")
  TqvEmailAddressItem* Add() { return static_cast<TqvEmailAddressItem*>(AddItem()); }
  TqvEmailAddressItem* AddFullAddress(std::string_view AText);
  TqvEmailAddressItem* Items(int Index) const { return static_cast<TqvEmailAddressItem*>(GetItem(Index)); }
  // Every item's full address, in order, after clearing AList when AClear.
  void GetAsStrings(TStrings& AList, bool AClear) const;

 protected:
  std::unique_ptr<TCollectionItem> CreateItem() const override;
};

// The full form of a name and an address.
[[nodiscard]] std::string BuildFullAddress(std::string_view AName, std::string_view AEmail);
// True when the text held a display name; without one AName is the address.
bool GetEmailAddressParts(std::string_view AFullAddress, std::string& AName, std::string& AEmail);
