// Puts the app's login session together with the components it drives: the ticket service, the
// VPN component's agent client and network admission after a QR sign-in.
#pragma once

#include "ui/session/login/RavAvizaLoginHelper.h"

namespace hux {

// The peers of the running app.
SessionPeers appSessionPeers();

}  // namespace hux
