#include "DebugLogFTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>

#include "common/logger/LogSink.h"

using common::processLog;

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool hasControlOrBlank(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f;
    });
}

std::string trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

struct Upload {
    std::span<const uint8_t> data;
    size_t sent = 0;
    uint64_t reported = 0;
    const DebugLogFTPRequest::UploadProgress* progress = nullptr;
    std::string reply;  // what the HTTP server answered, capped
};

size_t readChunk(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    const size_t n = std::min(size * count, upload->data.size() - upload->sent);
    std::memcpy(buffer, upload->data.data() + upload->sent, n);
    upload->sent += n;
    return n;
}

size_t keepReply(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    constexpr size_t kMaxReply = 64 * 1024;
    const size_t n = size * count;
    upload->reply.append(buffer, std::min(n, kMaxReply - std::min(kMaxReply, upload->reply.size())));
    return n;
}

int progressOf(void* user, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    auto* upload = static_cast<Upload*>(user);
    if (ulnow > 0 && static_cast<uint64_t>(ulnow) != upload->reported && *upload->progress) {
        upload->reported = static_cast<uint64_t>(ulnow);
        const uint64_t total = ultotal > 0 ? static_cast<uint64_t>(ultotal) : upload->data.size();
        (*upload->progress)(upload->reported, total);
    }
    return 0;
}

// The options both transports share.
void setCommon(CURL* curl, Upload& upload, const DebugLogFTPRequest::Limits& limits, char* errorBuffer) {
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.lowSpeedTime.count()));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressOf);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &upload);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keepReply);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &upload);
}

std::string curlError(CURLcode code, const char* errorBuffer) {
    return errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
}

}  // namespace

std::optional<std::string> DebugLogFTPRequest::ftpUploadURL(const ZemDebugModel& model) {
    const std::string host = model.ftpURL.value_or("");
    const std::string path = model.ftp_path.value_or("");
    std::string text = trimmed("ftp://" + host + ":" + std::to_string(model.ftp_port) + path);
    if (text.find("://") == std::string::npos) text = "ftp://" + text;
    if (trimmed(host).empty() || model.fileName.empty() || model.fileName.find('/') != std::string::npos)
        return std::nullopt;
    if (text.back() != '/') text += '/';
    text += model.fileName;
    if (hasControlOrBlank(text)) return std::nullopt;
    return text;
}

void DebugLogFTPRequest::uploadDebugLogToFTPServ(const ZemDebugModel& model, UploadProgress uploadProgress,
                                                 UploadComplete completion) {
    uploadProgressBlock_ = std::move(uploadProgress);
    uploadCompleteBlock_ = std::move(completion);
    globalInit();
    if (model.uploadType == 1)
        uploadFTP(model);
    else
        uploadHTTP(model);
}

void DebugLogFTPRequest::uploadFTP(const ZemDebugModel& model) {
    const std::string failure = std::string(kFTPErrorDomain) + " error " + std::to_string(kFTPErrorCode);
    const auto url = ftpUploadURL(model);
    if (!url) {
        uploadCompleteBlock_(false, failure + ": the FTP address is not usable");
        return;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        uploadCompleteBlock_(false, failure + ": no transfer handle");
        return;
    }
    Upload upload{model.fileData, 0, 0, &uploadProgressBlock_, {}};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    setCommon(curl, upload, limits_, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, url->c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readChunk);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(model.fileData.size()));
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     static_cast<long>(limits_.responseTimeout.count()));
    if (model.ftp_user && !model.ftp_user->empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, model.ftp_user->c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, model.ftp_password.value_or("").c_str());
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) {
        uploadCompleteBlock_(false, failure + ": " + curlError(code, errorBuffer));
        return;
    }
    uploadCompleteBlock_(true, "");
}

void DebugLogFTPRequest::uploadHTTP(const ZemDebugModel& model) {
    const std::string url = model.uploadURL.value_or("");
    if (url.empty() || hasControlOrBlank(url)) {
        processLog().writeLog("upload debug log to httpserver failed . error: the upload URL is not usable");
        uploadCompleteBlock_(false, "the upload URL is not usable");
        return;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        uploadCompleteBlock_(false, "no transfer handle");
        return;
    }
    Upload upload{model.fileData, 0, 0, &uploadProgressBlock_, {}};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    setCommon(curl, upload, limits_, errorBuffer);
    curl_mime* mime = curl_mime_init(curl);
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, "file");
    curl_mime_filename(part, model.fileName.c_str());
    curl_mime_type(part, "application/zip");
    // The part reads the archive where it is: a copy would double the service's memory.
    struct PartSource {
        std::span<const uint8_t> data;
        size_t offset = 0;
    } source{model.fileData};
    curl_mime_data_cb(
        part, static_cast<curl_off_t>(model.fileData.size()),
        [](char* buffer, size_t size, size_t count, void* arg) -> size_t {
            auto* from = static_cast<PartSource*>(arg);
            const size_t n = std::min(size * count, from->data.size() - from->offset);
            std::memcpy(buffer, from->data.data() + from->offset, n);
            from->offset += n;
            return n;
        },
        [](void* arg, curl_off_t offset, int origin) -> int {
            auto* from = static_cast<PartSource*>(arg);
            if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > from->data.size())
                return CURL_SEEKFUNC_CANTSEEK;
            from->offset = static_cast<size_t>(offset);
            return CURL_SEEKFUNC_OK;
        },
        nullptr, &source);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    const char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    const std::string contentType = type ? type : "";
    curl_easy_cleanup(curl);
    curl_mime_free(mime);

    std::string error;
    if (code != CURLE_OK)
        error = curlError(code, errorBuffer);
    else if (status < 200 || status > 299)
        error = "Request failed: status " + std::to_string(status);
    else if (contentType.rfind("application/json", 0) != 0 && contentType.rfind("text/plain", 0) != 0)
        error = "Request failed: unacceptable content-type: " + contentType;
    if (!error.empty()) {
        processLog().writeLog("upload debug log to httpserver failed . error: " + error);
        uploadCompleteBlock_(false, error);
        return;
    }
    processLog().writeLog("upload debug log to httpserver success. " + upload.reply);
    uploadCompleteBlock_(true, "");
}
