#include "ZemUITesselManager.h"

#include <unistd.h>

namespace hux {

ZemUITesselManager& ZemUITesselManager::sharedInstance() {
    static std::shared_ptr<ZemUITesselManager>* manager = new std::shared_ptr<ZemUITesselManager>(create());
    return **manager;
}

std::shared_ptr<ZemUITesselManager> ZemUITesselManager::create() {
    return std::shared_ptr<ZemUITesselManager>(new ZemUITesselManager());
}

ZemUITesselManager::ZemUITesselManager()
    : uiClient_(std::make_shared<tessel::TesselClient>()),
      uiServer_(std::make_shared<tessel::TesselServer>()) {
    // The app runs as the signed-in user: its port lives in that user's own name space.
    uiServer_->setUserScope(::geteuid());
    uiClient_->setUserScope(::geteuid());
}

ZemUITesselManager::~ZemUITesselManager() {
    uiServer_->stopListen(kListeningKey);
}

bool ZemUITesselManager::config() {
    uiClient_->setSendTimeout(60.0);
    uiClient_->setReceiveTimeout(60.0);
    // No delegate queue: the library calls the handler on its own listening thread.
    uiServer_->initWithDelegate(weak_from_this(), nullptr);
    return uiServer_->startListen(kListeningKey);
}

std::optional<std::vector<uint8_t>> ZemUITesselManager::handleIPCReceiveData(const std::vector<uint8_t>&,
                                                                             int32_t) {
    return std::nullopt;
}

void ZemUITesselManager::sendMessageWithName(
    const std::string& name, const std::vector<uint8_t>& message, int32_t msgid,
    const std::function<void(uint64_t, std::optional<std::vector<uint8_t>>)>& completion) {
    uint64_t code = 0;
    auto reply = sharedInstance().uiClient()->sendMessageWithName(name, message, msgid, &code);
    if (completion) completion(code, std::move(reply));
}

}  // namespace hux
