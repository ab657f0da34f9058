#include "Sorrel.h"

#include "SorrelSelectors.h"
#include "joindomain/scaffold/HelperProtocol.h"

namespace sorrel {

namespace {

using helperscaffold::textArgument;
using ReplyBlock = helperscaffold::Helper::ReplyBlock;

std::string text(const archive::Array& args, size_t index) {
    return textArgument(args, index).value_or("");
}

archive::Value nullable(const std::optional<std::string>& value) {
    return value ? archive::Value(*value) : archive::Value(archive::Null{});
}

DomainOperations::IntReply intReply(const ReplyBlock& reply) {
    if (!reply) return nullptr;
    return [reply](int code) { reply({int64_t{code}}); };
}

DomainOperations::TextReply textReply(const ReplyBlock& reply) {
    if (!reply) return nullptr;
    return [reply](std::optional<std::string> value) { reply({nullable(value)}); };
}

DomainOperations::BoolReply boolReply(const ReplyBlock& reply) {
    if (!reply) return nullptr;
    return [reply](bool value) { reply({value}); };
}

}  // namespace

Sorrel::Sorrel()
    : Helper(helperscaffold::domainJoinIdentity()),
      operations_([this](const std::string& line, unsigned type) { writeLog(line, type); }) {
    exportOperation(kInitiateDomainTool, [this](const archive::Array& args, const ReplyBlock&) {
        const archive::Dictionary* info = args.empty() ? nullptr : args[0].dictionary();
        operations_.initiateDomainToolWithInfo(info ? *info : archive::Dictionary{});
    });
    exportOperation(kUpdateMachine, [this](const archive::Array& args, const ReplyBlock& reply) {
        operations_.updateMachineWithComputerName(text(args, 0), intReply(reply));
    });
    exportOperation(kFetchComputerName, [this](const archive::Array& args, const ReplyBlock& reply) {
        operations_.fetchComputerNameWithAccount(text(args, 0), textReply(reply));
    });
    exportOperation(kJoin, [this](const archive::Array& args, const ReplyBlock& reply) {
        operations_.joinWithComputerName(text(args, 0), intReply(reply));
    });
    exportOperation(kFetchJoinedDomainName, [this](const archive::Array&, const ReplyBlock& reply) {
        operations_.fetchJoinedDomainNameWithCompletion(textReply(reply));
    });
    exportOperation(kCheckDomainAccount, [this](const archive::Array& args, const ReplyBlock& reply) {
        operations_.checkDomainAccount(text(args, 0), text(args, 1), textReply(reply));
    });
    exportOperation(kQuitDomain, [this](const archive::Array&, const ReplyBlock& reply) {
        operations_.quitDomainWithCompletion(intReply(reply));
    });
    exportOperation(kSendJoinDomainSuccessNotification, [this](const archive::Array&, const ReplyBlock&) {
        operations_.sendJoinDomainSuccessNotification();
    });
    exportOperation(kCreateMobileAccount, [this](const archive::Array& args, const ReplyBlock& reply) {
        operations_.createMobileAccountWithUid(text(args, 0), intReply(reply));
    });
    exportOperation(kConnectEthernet, [this](const archive::Array& args, const ReplyBlock& reply) {
        operations_.ConnectEthernetWithUsername(text(args, 0), text(args, 1), textArgument(args, 2),
                                                boolReply(reply));
    });
    exportOperation(kConnectWiFi, [this](const archive::Array& args, const ReplyBlock& reply) {
        operations_.ConnectWiFiWithSSID(text(args, 0), text(args, 1), text(args, 2), textArgument(args, 3),
                                        boolReply(reply));
    });
}

}  // namespace sorrel
