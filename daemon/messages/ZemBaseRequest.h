// The daemon's request base: fills the head fields every request carries (client version and its
// four parts, MAC and IPv4 addresses) from the device facts.
#pragma once

#include <optional>
#include <string>

#include "common/account/AccountModel.h"
#include "proto/ZemRequest.h"

namespace common { class ITDevice; }
namespace common { class NetworkCardInfoManager; }
namespace common { class ZemCMDManager; }

namespace hollin {

class ZemModel;

// Where the builders read their facts. A null entry stands for the process-wide instance, so
// production code passes nothing and tests hand in instances over fixtures.
struct ZemRequestSources {
    common::ITDevice* device = nullptr;
    common::ZemCMDManager* commands = nullptr;
    ZemModel* status = nullptr;
    common::NetworkCardInfoManager* cards = nullptr;
};

class ZemBaseRequest : public zem::ZemRequest {
  public:
    explicit ZemBaseRequest(ZemRequestSources sources = {}) : sources_(sources) {}

    void generateMsgHead() override;

    // zemVer is the text as it is; the four number fields are its parts when it has exactly four
    // parts separated by ".", otherwise 1, 0, 0 and 100.
    static void setVersion(Head& head, const std::string& version);

  protected:
    common::ITDevice& device() const;
    common::ZemCMDManager& commands() const;
    ZemModel& status() const;
    common::NetworkCardInfoManager& cards() const;

    // The signed-in user's account record, read once per request.
    const std::optional<common::AccountModel>& account();
    // Sets userId from the account record when the head names a user and the record has one;
    // returns the id it set.
    std::optional<std::string> setUserIdFromAccount();

  private:
    ZemRequestSources sources_;
    std::optional<std::optional<common::AccountModel>> account_;
};

}  // namespace hollin
