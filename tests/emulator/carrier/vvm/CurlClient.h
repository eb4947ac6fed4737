// A minimal libcurl client for the platform tests: what a device would send, byte for byte.
#ifndef CURLCLIENT_H
#define CURLCLIENT_H

#include <curl/curl.h>

#include <map>
#include <string>
#include <vector>

struct CurlAnswer {
    CURLcode result = CURLE_OK;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case
};

// A POST of `body` when it is non-null, otherwise a GET; `headers` are raw "Name: value" lines.
inline CurlAnswer curlFetch(const std::string& url, const std::string* body,
                            const std::vector<std::string>& headers = {})
{
    CurlAnswer answer;
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& header : headers)
        list = curl_slist_append(list, header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    if (body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body->size()));
    }
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) {
            static_cast<std::string*>(out)->append(data, size * n);
            return size * n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(
        curl, CURLOPT_HEADERFUNCTION, +[](char* data, size_t size, size_t n, void* out) {
            std::string line(data, size * n);
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (char& c : name)
                    c = char(tolower((unsigned char)c));
                size_t start = line.find_first_not_of(" ", colon + 1);
                size_t end = line.find_last_not_of("\r\n");
                (*static_cast<std::map<std::string, std::string>*>(out))[name] =
                    start <= end ? line.substr(start, end - start + 1) : "";
            }
            return size * n;
        });
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.headers);
    answer.result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return answer;
}

#endif
