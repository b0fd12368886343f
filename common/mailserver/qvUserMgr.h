// User accounts: an item per account (user name, plain-text password, display
// name) in an owned, ordered list, and a wrapper that hands one account to
// code that may or may not own it. The list owns its items; a pointer from
// Add, Items or FindAccount is valid until that item is deleted, the list is
// cleared or assigned over, or the list is destroyed. Names and passwords are
// byte strings; "case-insensitive" folds ASCII letters only. One thread at a
// time. Items(i) and Delete(i) raise EListError for an index out of range;
// Assign raises EConvertError for a source of another kind.
#pragma once

#include "ClassCore.h"

#include <utility>
#include <memory>
#include <string>

class TqvUserAccountItem : public TCollectionItem {
 public:
  VX_CLASS_NAME("TqvUserAccountItem")

  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string v) { FUserName = std::move(v); }
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string v) { FPassword = std::move(v); }
  const std::string& DisplayName() const { return FDisplayName; }
  void SetDisplayName(std::string v) { FDisplayName = std::move(v); }

  // Copies the three fields from another account item.
  void Assign(const TPersistent& Source) override;

  // False for an empty stored password, whatever is offered: an account
  // without one never logs in by password. Folds ASCII case only when the
  // owning list says so; an item in no list compares exactly.
  [[nodiscard]] bool CheckPassword(const std::string& APassword) const;

 private:
  std::string FUserName;
  std::string FPassword;
  std::string FDisplayName;
};

class TqvUserAccountList : public TCollection {
 public:
  // Servers build theirs case-insensitive; a list made plainly is exact.
  explicit TqvUserAccountList(bool ACaseInsensitive = false) : FCaseInsensitive(ACaseInsensitive) {}
  VX_CLASS_NAME("TqvUserAccountList")

  bool CaseInsensitive() const { return FCaseInsensitive; }
  void SetCaseInsensitive(bool v) { FCaseInsensitive = v; }

  // Copies the items in order and, from another account list, the flag.
  void Assign(const TPersistent& Source) override;

  TqvUserAccountItem* Add() { return static_cast<TqvUserAccountItem*>(AddItem()); }
  TqvUserAccountItem* Items(int Index) const { return static_cast<TqvUserAccountItem*>(GetItem(Index)); }
  // The first account of the name, or nullptr; an empty name finds nothing.
  [[nodiscard]] TqvUserAccountItem* FindAccount(const std::string& AUserName) const;

  // Equal under this list's rule (ASCII case folded when CaseInsensitive).
  [[nodiscard]] bool SameText(const std::string& A, const std::string& B) const;

 protected:
  std::unique_ptr<TCollectionItem> CreateItem() const override;

 private:
  bool FCaseInsensitive;
};

// One account, owned (freed with the wrapper) or borrowed (the caller keeps
// it alive for the wrapper's life). Movable, not copyable.
class TqvUserAccountWrapper : public TObject {
 public:
  VX_CLASS_NAME("TqvUserAccountWrapper")
  TqvUserAccountWrapper() = default;
  explicit TqvUserAccountWrapper(std::unique_ptr<TqvUserAccountItem> AOwned)
      : FOwned(std::move(AOwned)), FItem(FOwned.get()) {}
  explicit TqvUserAccountWrapper(TqvUserAccountItem* ABorrowed) : FItem(ABorrowed) {}
  TqvUserAccountWrapper(TqvUserAccountWrapper&& other) noexcept
      : FOwned(std::move(other.FOwned)), FItem(std::exchange(other.FItem, nullptr)) {}
  TqvUserAccountWrapper& operator=(TqvUserAccountWrapper&& other) noexcept {
    FOwned = std::move(other.FOwned);
    FItem = std::exchange(other.FItem, nullptr);
    return *this;
  }

  TqvUserAccountItem* Item() const { return FItem; }
  bool OwnsItem() const { return FOwned != nullptr; }

 private:
  std::unique_ptr<TqvUserAccountItem> FOwned;
  TqvUserAccountItem* FItem = nullptr;
};
