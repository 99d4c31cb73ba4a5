// The least a command-line client must do: libcurl streams a result page and each hit line is
// split at '|' and written as tab-separated title, relevance and link as it arrives. The query
// benchmark compares zdx-query with this.
#include <curl/curl.h>

#include <cstdio>
#include <string>

namespace {

std::string g_line;
std::string g_out;

void EmitLine() {
    std::size_t fields[12] = {};
    std::size_t count = 1;
    for (std::size_t i = 0; i < g_line.size() && count < 12; ++i)
        if (g_line[i] == '|')
            fields[count++] = i + 1;
    if (count > 2) {
        for (std::size_t f : {1, 2, 9}) {
            if (f >= count)
                break;
            const std::size_t end = f + 1 < count ? fields[f + 1] - 1 : g_line.size();
            g_out.append(g_line, fields[f], end - fields[f]);
            g_out += f == 9 ? '\n' : '\t';
        }
    }
    g_line.clear();
    if (g_out.size() > 65536) {
        std::fwrite(g_out.data(), 1, g_out.size(), stdout);
        g_out.clear();
    }
}

std::size_t OnBody(char* data, std::size_t size, std::size_t n, void*) {
    for (std::size_t i = 0; i < size * n; ++i) {
        if (data[i] == '\n')
            EmitLine();
        else
            g_line += data[i];
    }
    return size * n;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, argv[1]);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    std::fwrite(g_out.data(), 1, g_out.size(), stdout);
    return code == CURLE_OK ? 0 : 1;
}
