// Indexes 10,000 generated documents (about 5 KB each; --docs N for another count) with
// zdx-server and runs 1,000 searches
// of one to three words from 8 concurrent clients over loopback; prints the indexing time, the
// median and 99th-percentile search time, and the server's peak memory.
#include <httplib.h>
#include <libpq-fe.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// 20,000 made-up words; texts and queries draw them with Zipf's law, as natural text does.
std::vector<std::string> Vocabulary() {
    const char* syllables[] = {"ka", "lo", "mi", "ne", "ru", "ta", "vo", "si", "pe", "da",
                               "ge", "ho", "ji", "bu", "fa", "zo", "wy", "qu", "xe", "ly"};
    std::vector<std::string> words;
    for (int i = 0; words.size() < 20000; ++i) {
        std::string word;
        for (int n = i;; n /= 20) {
            word += syllables[n % 20];
            if (n < 20)
                break;
        }
        words.push_back(word + "n");
    }
    return words;
}

std::discrete_distribution<std::size_t> Zipf(std::size_t n) {
    std::vector<double> weights(n);
    for (std::size_t i = 0; i < n; ++i)
        weights[i] = 1.0 / static_cast<double>(i + 1);
    return std::discrete_distribution<std::size_t>(weights.begin(), weights.end());
}

long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Starts a node on the database; returns its pid and, once it listens, its port.
std::pair<pid_t, int> StartNode(const std::string& server, const fs::path& dir,
                                const std::string& db, int n) {
    const fs::path outFile = dir / ("server" + std::to_string(n) + ".out");
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(outFile.c_str(), "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(server.c_str(), server.c_str(), "--listen", "127.0.0.1:0", "--index",
              ("docs=" + (dir / "docs").string()).c_str(), "--db", db.c_str(), "--rescan", "3600",
              // the slow round's 400 connections all come from 127.0.0.1
              "--connections-per-address", "1000", static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    int port = 0;
    while (port == 0 && std::chrono::steady_clock::now() - start < std::chrono::minutes(5)) {
        std::ifstream in(outFile);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::smatch m;
        if (std::regex_search(text, m, std::regex(R"(127\.0\.0\.1:(\d+)/)")))
            port = std::stoi(m[1]);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {pid, port};
}

} // namespace

// ServerBench [SERVER] [--db postgresql://...] [--nodes N]: SQLite in a temporary folder by
// default; with --db the store is that PostgreSQL database (emptied first), with --nodes that
// many nodes on it, the clients spread over them.
int main(int argc, char** argv) {
    std::string server = ZDX_SERVER_BIN, pg;
    int nodeCount = 1, docCount = 10000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--db" && i + 1 < argc)
            pg = argv[++i];
        else if (arg == "--nodes" && i + 1 < argc)
            nodeCount = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--docs" && i + 1 < argc)
            docCount = std::max(1, std::atoi(argv[++i]));
        else
            server = arg;
    }
    const fs::path dir = fs::temp_directory_path() / ("zdx-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "docs");
    const auto words = Vocabulary();
    auto zipf = Zipf(words.size());
    std::mt19937 random(11);
    for (int d = 0; d < docCount; ++d) {
        std::ofstream out(dir / "docs" / ("doc" + std::to_string(d) + ".txt"));
        std::string text = "Document " + std::to_string(d) + "\n\n";
        while (text.size() < 5000)
            text += words[zipf(random)] + (random() % 12 ? " " : ".\n");
        out << text;
    }
    if (!pg.empty()) {
        PGconn* db = PQconnectdb(pg.c_str());
        PQclear(PQexec(db, "DROP TABLE IF EXISTS zdx_docs, zdx_gone, zdx_sessions"));
        PQfinish(db);
    }
    const std::string db = pg.empty() ? (dir / "index.sqlite").string() : pg;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::pair<pid_t, int>> nodes = {StartNode(server, dir, db, 1)};
    const double indexSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int n = 2; n <= nodeCount; ++n)
        nodes.push_back(StartNode(server, dir, db, n));
    const pid_t pid = nodes[0].first;
    std::uintmax_t corpusBytes = 0;
    for (const auto& entry : fs::directory_iterator(dir / "docs"))
        corpusBytes += entry.file_size();
    std::printf("indexed %d documents (about 5 KB each) in %.2f s (start-up included): "
                "%.1f MB/s\n",
                docCount, indexSeconds, corpusBytes / 1e6 / indexSeconds);
    if (pg.empty()) {
        std::uintmax_t dbBytes = 0;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().rfind("index.sqlite", 0) == 0)
                dbBytes += entry.file_size();
        std::printf("database %.1f MB for %.1f MB of text: %.2fx\n", dbBytes / 1e6,
                    corpusBytes / 1e6, static_cast<double>(dbBytes) / corpusBytes);
    }

    // Two rounds of 1,000 searches from 8 clients: words drawn evenly from the vocabulary (what
    // people look for), then words drawn by their frequency in the texts, which brings in words
    // that stand in nearly every document, as "the" does in English (the worst case).
    auto round = [&](const char* what, bool byFrequency) {
        std::vector<double> latencies;
        std::mutex mutex;
        std::atomic<int> failures{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 8; ++c) {
            clients.emplace_back([&, c] {
                std::mt19937 r(100 + c);
                auto pick = Zipf(words.size());
                httplib::Client client("127.0.0.1", nodes[c % nodes.size()].second);
                client.set_keep_alive(true);
                client.set_tcp_nodelay(true); // as libcurl does
                for (int q = 0; q < 125; ++q) {
                    std::string query;
                    for (int w = 0, n = 1 + static_cast<int>(r() % 3); w < n; ++w)
                        query +=
                            (w ? "%20" : "") + words[byFrequency ? pick(r) : r() % words.size()];
                    const auto t0 = std::chrono::steady_clock::now();
                    auto res =
                        client.Get("/lvsearch/SearchServlet?site=x&numhits=999&query0=" + query);
                    const double ms = std::chrono::duration<double, std::milli>(
                                          std::chrono::steady_clock::now() - t0)
                                          .count();
                    if (!res || res->status != 200)
                        ++failures;
                    std::lock_guard<std::mutex> lock(mutex);
                    latencies.push_back(ms);
                }
            });
        }
        for (auto& t : clients)
            t.join();
        std::sort(latencies.begin(), latencies.end());
        std::printf("1000 searches from 8 clients, %s: median %.1f ms, 99th percentile %.1f ms, "
                    "slowest %.1f ms, %d failed\n",
                    what, latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                    latencies.back(), failures.load());
        return failures.load();
    };
    int failures =
        round("words drawn evenly", false) + round("words drawn by frequency (worst case)", true);
    // The same searches while 200 connections send a request a byte every 2 s and 200 sit idle.
    {
        std::vector<int> trickling, idle;
        for (int i = 0; i < 400; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(nodes[0].second));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                (i % 2 ? idle : trickling).push_back(fd);
            else
                close(fd);
        }
        std::atomic<bool> running{true};
        std::thread trickle([&] {
            const std::string line = "GET /lvsearch/SearchServlet?query0=x HTTP/1.1\r\n";
            for (std::size_t at = 0; running; at = (at + 1) % line.size()) {
                for (int fd : trickling)
                    send(fd, &line[at], 1, MSG_NOSIGNAL);
                for (int t = 0; t < 20 && running; ++t)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        std::printf("(%zu connections trickling, %zu idle)\n", trickling.size(), idle.size());
        failures += round("words drawn evenly, with slow and idle connections", false);
        running = false;
        trickle.join();
        for (const auto& sockets : {trickling, idle})
            for (int fd : sockets)
                close(fd);
    }
    // Throughput: 50 clients for 20 s, words drawn evenly.
    {
        std::atomic<long> done{0};
        std::atomic<bool> running{true};
        std::vector<std::thread> clients;
        for (int c = 0; c < 50; ++c)
            clients.emplace_back([&, c] {
                std::mt19937 r(500 + c);
                httplib::Client client("127.0.0.1", nodes[c % nodes.size()].second);
                while (running) {
                    auto res = client.Get("/lvsearch/SearchServlet?site=x&numhits=999&query0=" +
                                          words[r() % words.size()]);
                    if (res && res->status == 200)
                        ++done;
                }
            });
        std::this_thread::sleep_for(std::chrono::seconds(20));
        running = false;
        for (auto& t : clients)
            t.join();
        std::printf("50 clients for 20 s over %zu node(s): %.0f searches per second\n",
                    nodes.size(), done / 20.0);
    }
    const long peak = PeakKiB(pid);
    std::printf("server peak memory: %.1f MB\n", peak / 1024.0);
    for (const auto& node : nodes) {
        kill(node.first, SIGTERM);
        waitpid(node.first, nullptr, 0);
    }
    if (std::getenv("ZDX_BENCH_KEEP"))
        std::printf("kept %s\n", dir.c_str());
    else
        fs::remove_all(dir);
    return failures ? 1 : 0;
}
