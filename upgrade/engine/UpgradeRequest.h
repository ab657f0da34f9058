// HTTP downloads of the manifest and the package, over libcurl. Only http and https are
// fetched, redirects included; the manifest is capped in size, the package by the size the
// manifest gives (or a default), a low-speed limit and an overall deadline. A package goes to a
// temporary file that is removed on any failure, so a partial download never stands in for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/core/Error.h"

struct UpgradeRequestLimits {
    uint64_t maxManifestBytes = 1u << 20;
    uint64_t maxPackageBytes = 4ull << 30;
    std::chrono::seconds connectTimeout{30};
    std::chrono::seconds manifestTimeout{60};
    std::chrono::seconds packageTimeout{3600};
    // A transfer slower than lowSpeedBytes per second for lowSpeedTime ends.
    long lowSpeedBytes = 1024;
    std::chrono::seconds lowSpeedTime{200};
};

class UpgradeRequest {
  public:
    static constexpr long kErrorNoUrl = 100;
    static constexpr long kErrorNotHttp = 502;
    static constexpr long kErrorStatus = 503;
    static constexpr const char* kCurlDomain = "curl";

    using DataCompletion =
        std::function<void(std::optional<std::string> data, std::optional<ErrorValue> error)>;
    using FileCompletion =
        std::function<void(std::optional<std::string> path, std::optional<ErrorValue> error)>;

    static UpgradeRequest& sharedInstance();
    explicit UpgradeRequest(UpgradeRequestLimits limits = {});

    // Both run the transfer on the calling thread and call back there once.
    void downloadUpgradeXML(const std::optional<std::string>& url, const DataCompletion& completionBlock);
    // The package goes to a new temporary file in folder; the callback owns it (moves or deletes
    // it). maxBytes, when given, caps the download below the default cap.
    void downloadUpgradeApp(const std::optional<std::string>& url, const std::string& folder,
                            std::optional<uint64_t> maxBytes, const FileCompletion& completionBlock);

  private:
    UpgradeRequestLimits limits_;
};
