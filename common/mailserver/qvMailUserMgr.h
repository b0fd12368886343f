// Mail accounts: user accounts with an e-mail address, in a list that finds
// them by user name or by address under the list's case rule (ASCII letters
// fold when CaseInsensitive; an empty name or address finds nothing). Same
// ownership, threading and errors as the user account list; a mail list
// makes mail items, so the typed accessors never see another kind.
#pragma once

#include "qvUserMgr.h"

class TqvMailUserAccountItem : public TqvUserAccountItem {
 public:
  VX_CLASS_NAME("TqvMailUserAccountItem")

  const std::string& Email() const { return FEmail; }
  void SetEmail(std::string v) { FEmail = std::move(v); }

  // The account fields from any account item; Email only from a mail item.
  void Assign(const TPersistent& Source) override;

 private:
  std::string FEmail;
};

class TqvMailUserAccountList : public TqvUserAccountList {
 public:
  using TqvUserAccountList::TqvUserAccountList;
  VX_CLASS_NAME("TqvMailUserAccountList")

  TqvMailUserAccountItem* Add() { return static_cast<TqvMailUserAccountItem*>(AddItem()); }
  TqvMailUserAccountItem* Items(int Index) const {
    return static_cast<TqvMailUserAccountItem*>(GetItem(Index));
  }
  [[nodiscard]] TqvMailUserAccountItem* FindAccount(const std::string& AUserName) const {
    return static_cast<TqvMailUserAccountItem*>(TqvUserAccountList::FindAccount(AUserName));
  }
  // The first account with the address, or nullptr.
  [[nodiscard]] TqvMailUserAccountItem* FindAccountByEmail(const std::string& AEmail) const;

 protected:
  std::unique_ptr<TCollectionItem> CreateItem() const override;
};

class TqvMailUserAccountWrapper : public TqvUserAccountWrapper {
 public:
  VX_CLASS_NAME("TqvMailUserAccountWrapper")
  TqvMailUserAccountWrapper() = default;
  explicit TqvMailUserAccountWrapper(std::unique_ptr<TqvMailUserAccountItem> AOwned)
      : TqvUserAccountWrapper(std::unique_ptr<TqvUserAccountItem>(std::move(AOwned))) {}
  explicit TqvMailUserAccountWrapper(TqvMailUserAccountItem* ABorrowed) : TqvUserAccountWrapper(ABorrowed) {}

  // Only mail items get in, so the cast is safe.
  TqvMailUserAccountItem* Item() const {
    return static_cast<TqvMailUserAccountItem*>(TqvUserAccountWrapper::Item());
  }
};
