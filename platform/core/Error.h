// An error as a value: the domain, the numeric code and the failure reason text.
#pragma once

#include <string>

struct ErrorValue {
    std::string domain;
    long code = 0;
    std::string failureReason;
};
