#include "qvUserMgr.h"

#include "AsciiText.h"

void TqvUserAccountItem::Assign(const TPersistent& Source) {
  auto* src = dynamic_cast<const TqvUserAccountItem*>(&Source);
  if (!src) {
    TCollectionItem::Assign(Source);
    return;
  }
  FPassword = src->FPassword;
  FUserName = src->FUserName;
  FDisplayName = src->FDisplayName;
}

bool TqvUserAccountItem::CheckPassword(const std::string& APassword) const {
  if (FPassword.empty()) return false;
  // An item made on its own (say by a look-up handler) has no list to ask.
  auto* list = dynamic_cast<const TqvUserAccountList*>(Collection());
  return list ? list->SameText(FPassword, APassword) : FPassword == APassword;
}

void TqvUserAccountList::Assign(const TPersistent& Source) {
  TCollection::Assign(Source);
  if (auto* src = dynamic_cast<const TqvUserAccountList*>(&Source)) FCaseInsensitive = src->FCaseInsensitive;
}

TqvUserAccountItem* TqvUserAccountList::FindAccount(const std::string& AUserName) const {
  if (AUserName.empty()) return nullptr;
  for (int i = 0; i < Count(); ++i)
    if (SameText(Items(i)->UserName(), AUserName)) return Items(i);
  return nullptr;
}

bool TqvUserAccountList::SameText(const std::string& A, const std::string& B) const {
  return FCaseInsensitive ? plat::AsciiSameText(A, B) : A == B;
}

std::unique_ptr<TCollectionItem> TqvUserAccountList::CreateItem() const {
  return std::make_unique<TqvUserAccountItem>();
}
