// The link between a mail message and a DKIM component. A message that holds
// a link signs the lines it has just built (Sign) and verifies the lines it
// has just parsed (Verify). The message only borrows the link: it registers
// for free notification and drops the link when the component is destroyed,
// so either side may go first. Both operations run on the thread that builds
// or parses the message. Whatever they raise passes to the message's caller;
// the message never keeps half-built text after a failed Sign.
#pragma once

#include "ClassCore.h"

class TStrings;

class TqvMessageDkimLink : public TComponent {
 public:
  explicit TqvMessageDkimLink(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  VX_CLASS_NAME("TqvMessageDkimLink")

  // Adds the signature field(s) to the complete message lines (header, empty
  // line, body), normally at the top. Raises on failure.
  virtual void Sign(TStrings& ALines) = 0;
  // Checks the signature fields of the complete message lines; the lines are
  // not changed. Raises when verification fails, as the component's mode says.
  virtual void Verify(const TStrings& ALines) = 0;
};
