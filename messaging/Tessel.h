// Tessel: request and reply between local processes over named message ports.
#pragma once

#include "IPCReceiveProtocol.h"
#include "TesselClient.h"
#include "TesselServer.h"
#include "TesselVersion.h"

namespace tessel {


}  // namespace tessel
