// The client-API test server for the session services' tests: one client_api_server.py with its
// own script and request log. Test programs that use it define CLIENT_API_SERVER.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "PortServer.h"

namespace testsupport {

class ClientApiServer {
  public:
    ClientApiServer(const std::string& folder, std::vector<std::string> extra = {})
        : folder_(make(folder)), server_(arguments(folder_, std::move(extra)), std::chrono::seconds(20)) {}
    int port() const { return server_.port(); }
    const std::string& folder() const { return folder_; }

    void script(const nlohmann::json& replies) {
        const std::string path = folder_ + "/script.json";
        std::ofstream(path + ".tmp") << nlohmann::json{{"replies", replies}}.dump();
        std::filesystem::rename(path + ".tmp", path);
    }
    // Recorded requests of a path, oldest first.
    std::vector<nlohmann::json> requests(const std::string& path) const {
        std::vector<nlohmann::json> out;
        std::ifstream in(folder_ + "/requests.log");
        for (std::string line; std::getline(in, line);) {
            nlohmann::json item = nlohmann::json::parse(line, nullptr, false);
            if (!item.is_discarded() && item.value("path", "") == path) out.push_back(item);
        }
        return out;
    }
    std::optional<nlohmann::json> lastBody(const std::string& path) const {
        auto all = requests(path);
        if (all.empty()) return std::nullopt;
        return all.back()["body"];
    }

  private:
    static std::string make(const std::string& folder) {
        std::filesystem::create_directories(folder);
        return folder;
    }
    static std::vector<std::string> arguments(const std::string& folder, std::vector<std::string> extra) {
        std::vector<std::string> args = {RAVAVIZA_PYTHON, CLIENT_API_SERVER,
                                         "--script",      folder + "/script.json",
                                         "--log",         folder + "/requests.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    std::string folder_;
    testsupport::PortServer server_;
};

}  // namespace testsupport
