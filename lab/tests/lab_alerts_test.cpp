// Alerts as a lab receives them: a loopback webhook gets each alert once, and the ones raised while it was
// down (and the collector killed and restarted) once it is back; a command gets the document on its input.
#include <gtest/gtest.h>

#include <set>

#include "lab_test_support.h"

namespace hestolvane::lab {
namespace {

using namespace testing;

// A webhook receiver on a fixed loopback port, so that it can go away and come back at the same address.
class Receiver {
public:
    explicit Receiver(int Port) : Port(Port) { Start(); }
    ~Receiver() { Stop(); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    void Start() {
        Server = std::make_unique<httplib::Server>();
        Server->Post("/hook", [this](const httplib::Request& Request, httplib::Response& Response) {
            std::lock_guard<std::mutex> Hold(Lock);
            Received.push_back(nlohmann::json::parse(Request.body, nullptr, false));
            Response.status = 204;
        });
        Server->bind_to_port("127.0.0.1", Port);
        Serving = std::thread([this] { Server->listen_after_bind(); });
    }
    void Stop() {
        if (Serving.joinable()) {
            Server->stop();
            Serving.join();
        }
    }
    std::vector<nlohmann::json> Alerts() {
        std::lock_guard<std::mutex> Hold(Lock);
        return Received;
    }
    size_t CountOf(const std::string& Event) {
        const auto All = Alerts();
        return static_cast<size_t>(std::count_if(All.begin(), All.end(), [&](const nlohmann::json& Each) {
            return Each.is_object() && Each["event"] == Event;
        }));
    }

private:
    int Port;
    std::unique_ptr<httplib::Server> Server;
    std::thread Serving;
    std::mutex Lock;
    std::vector<nlohmann::json> Received;
};

TEST(LabAlerts, AWebhookGetsEachAlertOnceAndThoseRaisedWhileItWasDownLater) {
    TempDirectory Work;
    const int Port = FreePort();
    Receiver Hook(Port);
    const std::string Vm = Work.Path() + "/vm.txt";
    const std::string Received = Work.Path() + "/command-input.json";
    const std::string Config = "index = \"" + Work.Path() + "/lab.db\"\nalert_backoff = 0.1\n" + std::string(SimSymbols) +
                               "[[machine]]\nname = \"vm\"\nsource = \"file://" + Vm + "\"\n"
                               "[[alert]]\nwebhook = \"http://127.0.0.1:" + std::to_string(Port) + "/hook\"\n"
                               "[[alert]]\ncommand = [\"/usr/bin/tee\", \"-a\", \"" + Received + "\"]\n"
                               "events = [\"new_bucket\"]\n";
    std::optional<LabProcess> Lab(std::in_place, Work.Path(), Config);
    Append(Vm, SimOutput(""));
    ASSERT_TRUE(Eventually([&] { return Hook.CountOf("new_bucket") == 1; })) << Lab->Log();
    const nlohmann::json First = Hook.Alerts().front();
    EXPECT_EQ(First["machine"], "vm");
    EXPECT_EQ(First["report"], 1);

    // Down: a new bucket and a lost report are raised meanwhile; the collector is killed and restarted.
    Hook.Stop();
    const std::string Whole = SimOutput("--bugcheck 1E,C0000005,FFFFF80012345678,0,0");
    Append(Vm, Whole.substr(0, Whole.find("VQN Dump Begin.")) + SimOutput("--no-tracking"));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(*Lab)) == 2; })) << Lab->Log();
    Lab->Signal(SIGKILL);
    Lab->Wait();
    Lab.reset();
    Hook.Start();
    Lab.emplace(Work.Path(), Config);
    ASSERT_TRUE(Eventually([&] { return Hook.CountOf("new_bucket") == 2 && Hook.CountOf("crash_without_report") == 1; }))
        << Lab->Log();
    // Nothing more arrives once the outbox is empty: each alert came once.
    Append(Vm, SimOutput(""));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(*Lab)) == 3; }));
    Lab->Signal(SIGTERM);
    EXPECT_EQ(Lab->Wait(), 0);
    EXPECT_EQ(Hook.Alerts().size(), 3U);

    // The command got both new buckets' documents on its standard input, without a shell. A command that
    // ran just before the kill, whose delivery was not yet recorded, runs again: delivery is at least once.
    std::ifstream Input(Received);
    std::string Document;
    std::set<int64_t> Reports;
    while (std::getline(Input, Document, '}')) {
        const nlohmann::json Alert = nlohmann::json::parse(Document + "}", nullptr, false);
        ASSERT_FALSE(Alert.is_discarded()) << Document;
        EXPECT_EQ(Alert["event"], "new_bucket");
        Reports.insert(Alert["report"].get<int64_t>());
    }
    EXPECT_EQ(Reports, (std::set<int64_t>{1, 2}));
}

}  // namespace
}  // namespace hestolvane::lab
