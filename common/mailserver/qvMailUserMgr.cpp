#include "qvMailUserMgr.h"

void TqvMailUserAccountItem::Assign(const TPersistent& Source) {
  TqvUserAccountItem::Assign(Source);
  if (auto* src = dynamic_cast<const TqvMailUserAccountItem*>(&Source)) FEmail = src->FEmail;
}

TqvMailUserAccountItem* TqvMailUserAccountList::FindAccountByEmail(const std::string& AEmail) const {
  if (AEmail.empty()) return nullptr;
  for (int i = 0; i < Count(); ++i)
    if (SameText(Items(i)->Email(), AEmail)) return Items(i);
  return nullptr;
}

std::unique_ptr<TCollectionItem> TqvMailUserAccountList::CreateItem() const {
  return std::make_unique<TqvMailUserAccountItem>();
}
