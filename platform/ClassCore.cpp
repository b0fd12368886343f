#include "ClassCore.h"

#include <algorithm>

void TPersistent::Assign(const TPersistent& Source) {
  throw EConvertError(std::string("Cannot assign a ") + Source.ClassName() + " to a " + ClassName());
}

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {}

TComponent::~TComponent() {
  // Copy first: a notified component may remove itself from the list.
  auto notifies = FFreeNotifies;
  for (TComponent* c : notifies) c->Notification(this, TOperation::opRemove);
  if (FOwner) FOwner->Notification(this, TOperation::opRemove);
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent && AComponent != this &&
      std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  std::erase(FFreeNotifies, AComponent);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove) RemoveFreeNotification(AComponent);
}

void TComponent::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0 && FChangedPending) {
    FChangedPending = false;
    DoChanged();
  }
}

void TComponent::Changed() {
  if (FUpdateCount > 0)
    FChangedPending = true;
  else
    DoChanged();
}

void TComponent::DoChanged() {
  if (OnChanged) OnChanged(this);
}

int TCollectionItem::Index() const { return FCollection ? FCollection->IndexOf(this) : -1; }

TCollectionItem* TCollection::GetItem(int Index) const {
  if (Index < 0 || Index >= Count()) throw EListError::OutOfBounds(Index);
  return FItems[static_cast<size_t>(Index)].get();
}

TCollectionItem* TCollection::AddItem() {
  auto item = CreateItem();
  item->FCollection = this;
  FItems.push_back(std::move(item));
  Changed();
  return FItems.back().get();
}

void TCollection::Delete(int Index) {
  GetItem(Index);  // range check
  FItems.erase(FItems.begin() + Index);
  Changed();
}

void TCollection::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

int TCollection::IndexOf(const TCollectionItem* Item) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == Item) return static_cast<int>(i);
  return -1;
}

void TCollection::Assign(const TPersistent& Source) {
  auto* src = dynamic_cast<const TCollection*>(&Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  BeginUpdate();
  try {
    Clear();
    for (const auto& item : src->FItems) AddItem()->Assign(*item);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TCollection::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0 && FChangedPending) {
    FChangedPending = false;
    if (OnChanged) OnChanged(this);
  }
}

std::unique_ptr<TCollectionItem> TCollection::CreateItem() const { return std::make_unique<TCollectionItem>(); }

void TCollection::Changed() {
  if (FUpdateCount > 0)
    FChangedPending = true;
  else if (OnChanged)
    OnChanged(this);
}
