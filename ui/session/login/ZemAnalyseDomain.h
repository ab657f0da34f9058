// The domain-server string: "host#word#word" gives the host and the path prefix "/word/word".
#pragma once

#include <mutex>
#include <string>

class ZemAnalyseDomain {
  public:
    static ZemAnalyseDomain& sharedInstance();

    // Splits at "#": the first segment is the host, the non-empty segments after it, joined by "/"
    // and led by "/", the prefix. A string equal to the last one analysed keeps the result; any
    // other string is analysed afresh, so a changed server takes effect in the running process.
    void analyseServerConfig(const std::string& server);

    std::string domain_config() const;
    std::string path_config() const;

  private:
    mutable std::mutex mutex_;
    std::string analysed_;
    bool hasAnalysed_ = false;
    std::string domain_config_;
    std::string path_config_;
};
