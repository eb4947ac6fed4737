// The floor of a daemon's carrier exchanges: the requests an emulated carrier server recorded
// (its "requests" control: method, path or target, headers, body), made again in the same order
// by a plain libcurl program, with the recorded headers ("Connection: close" among them), each on
// a connection of its own; with --reuse, all on one kept connection, "Connection" headers left
// out; with --cacert, https peers verified against that CA file. Prints the milliseconds the
// whole series took. Usage: replay [--reuse] [--cacert FILE] BASE_URL REQUESTS_FILE
#include "vtjson.h"

#include <curl/curl.h>

#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace
{

size_t keep(char* data, size_t size, size_t count, void* context)
{
    static_cast<std::string*>(context)->append(data, size * count);
    return size * count;
}

// Headers libcurl writes itself, and those the server's library adds to what it records.
bool ownHeader(const std::string& name, bool reuse)
{
    if (reuse && strcasecmp(name.c_str(), "connection") == 0)
        return true;
    static const char* const own[] = {"host",       "content-length", "accept",     "local_addr",
                                      "local_port", "remote_addr",    "remote_port"};
    for (const char* header : own) {
        if (strcasecmp(name.c_str(), header) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    bool reuse = false;
    const char* caFile = nullptr;
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-'; arg++) {
        if (strcmp(argv[arg], "--reuse") == 0)
            reuse = true;
        else if (strcmp(argv[arg], "--cacert") == 0 && arg + 1 < argc)
            caFile = argv[++arg];
        else
            break;
    }
    if (argc - arg != 2) {
        fprintf(stderr, "usage: replay [--reuse] [--cacert FILE] BASE_URL REQUESTS_FILE\n");
        return 2;
    }
    const std::string base = argv[arg];
    std::stringstream text;
    text << std::ifstream(argv[arg + 1]).rdbuf();
    JDomParser parser;
    if (!parser.parse(text.str(), JSchemaFragment("{\"type\":\"array\"}"))) {
        fprintf(stderr, "replay: %s is not a list of requests\n", argv[arg + 1]);
        return 1;
    }
    JValue requests = parser.getDom();
    curl_global_init(CURL_GLOBAL_ALL);
    CURL* curl = curl_easy_init();
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    // Each exchange on a connection of its own, as the daemons make them by default: a download
    // carries no "Connection: close", and reusing its connection would save the floor a connect.
    if (!reuse)
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    if (caFile)
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
    int failures = 0;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < requests.arraySize(); i++) {
        JValue request = requests[i];
        const std::string target =
            request.hasKey("target") ? request["target"].asString() : request["path"].asString();
        const std::string url = base + target;
        const std::string body = request["body"].asString();
        curl_slist* headers = nullptr;
        JValue recorded = request["headers"];
        for (const std::string& name : recorded.keys()) {
            if (!ownHeader(name, reuse))
                headers =
                    curl_slist_append(headers, (name + ": " + recorded[name].asString()).c_str());
        }
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        if (request["method"].asString() == "POST") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        }
        answer.clear();
        if (curl_easy_perform(curl) != CURLE_OK)
            failures++;
        curl_slist_free_all(headers);
    }
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    if (failures) {
        fprintf(stderr, "replay: %d of %zu requests failed\n", failures, requests.arraySize());
        return 1;
    }
    printf("%.3f\n", ms);
    return 0;
}
