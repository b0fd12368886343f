// The server link the file stores share: a store borrows one server, sets
// its events in Bind and clears them in Unbind, and is told when the server
// goes so it never touches a destroyed one.
#pragma once

#include "ClassCore.h"

template <class TServer>
class TqvServerStore : public TComponent {
 public:
  explicit TqvServerStore(TComponent* AOwner = nullptr) : TComponent(AOwner) {}

  [[nodiscard]] TServer* Server() const { return FServer; }
  // Unbinds from the old server and binds to the new one (null: none). A
  // store's destructor calls SetServer(nullptr) itself, while its own
  // Unbind is still the one that runs.
  void SetServer(TServer* Value) {
    if (Value == FServer) return;
    if (FServer) {
      Unbind();
      FServer->RemoveFreeNotification(this);
    }
    FServer = Value;
    if (FServer) {
      FServer->FreeNotification(this);
      Bind();
    }
  }

 protected:
  virtual void Unbind() = 0;
  virtual void Bind() = 0;
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    // The server is in its destructor: its events are no longer there to clear.
    if (Operation == TOperation::opRemove && AComponent == FServer) FServer = nullptr;
  }

  TServer* FServer = nullptr;
};
