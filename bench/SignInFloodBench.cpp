// 64 clients send wrong passwords to zdx-server for 20 s while one client searches; prints the
// honest search's median and 99th percentile with and without the flood, and how many wrong
// passwords the service actually checked per second.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<double> Searches(int port, Clock::duration length) {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    std::vector<double> ms;
    for (const auto until = Clock::now() + length; Clock::now() < until;) {
        const auto t0 = Clock::now();
        client.Get("/lvsearch/SearchServlet?query0=budget");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

} // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("zdx-flood-" + std::to_string(getpid()));
    fs::create_directories(dir / "docs");
    for (int d = 0; d < 200; ++d)
        std::ofstream(dir / "docs" / ("doc" + std::to_string(d) + ".txt"))
            << "Budget " << d << "\n\nThe budget of team " << d << ".\n";
    const std::string users = (dir / "users").string();
    std::system(("echo right | " ZDX_SERVER_BIN " --users " + users + " --add-user ann").c_str());
    const fs::path out = dir / "out", err = dir / "err";
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen(err.c_str(), "w", stderr);
        execl(ZDX_SERVER_BIN, ZDX_SERVER_BIN, "--listen", "127.0.0.1:0", "--index",
              ("docs=" + (dir / "docs").string()).c_str(), "--db", (dir / "db").c_str(), "--users",
              users.c_str(), "--allow-anonymous", static_cast<char*>(nullptr));
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 500 && !port; ++i) {
        std::ifstream in(out);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        std::smatch m;
        if (std::regex_search(text, m, std::regex(R"(127\.0\.0\.1:(\d+)/)")))
            port = std::stoi(m[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto quiet = Searches(port, std::chrono::seconds(5));

    std::atomic<bool> flooding{true};
    std::atomic<long> attempts{0};
    std::vector<std::thread> attackers;
    for (int c = 0; c < 64; ++c)
        attackers.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            for (int i = 0; flooding; ++i) {
                client.Get("/lvsearch/SearchServlet?userid=ann&password=wrong" +
                           std::to_string(c * 100000 + i));
                ++attempts;
            }
        });
    const auto flood = Searches(port, std::chrono::seconds(20));
    flooding = false;
    for (auto& t : attackers)
        t.join();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    // Each back-off start is logged; between them the service checked no password.
    std::ifstream log(err);
    const std::string text((std::istreambuf_iterator<char>(log)), {});
    long backOffs = 0;
    for (std::size_t at = 0; (at = text.find("backed off", at)) != std::string::npos; ++at)
        ++backOffs;
    auto pct = [](const std::vector<double>& v, double p) {
        return v.empty() ? 0 : v[static_cast<std::size_t>(p * (v.size() - 1))];
    };
    std::printf("honest search, quiet:         median %.1f ms, 99th percentile %.1f ms\n",
                pct(quiet, 0.5), pct(quiet, 0.99));
    std::printf("honest search, 64 attackers:  median %.1f ms, 99th percentile %.1f ms\n",
                pct(flood, 0.5), pct(flood, 0.99));
    std::printf("wrong sign-ins sent: %.0f/s; passwords checked: at most %.1f/s (%ld back-offs)\n",
                attempts / 20.0, (backOffs + 3) / 20.0, backOffs);
    fs::remove_all(dir);
    return 0;
}
