// Sorrel, the domain-join helper: the scaffold's helper with the domain operations exported
// under their selectors. Texts that are missing from a call arrive as empty texts (a missing
// profile path stays missing); text replies carry nothing as a null.
#pragma once

#include "DomainOperations.h"
#include "joindomain/scaffold/Helper.h"

namespace sorrel {

class Sorrel : public helperscaffold::Helper {
  public:
    Sorrel();
    DomainOperations& operations() { return operations_; }

  private:
    DomainOperations operations_;
};

}  // namespace sorrel
