// The dashboard's routes: each page fills one data structure from the record and prints it twice, as
// HTML here and as its JSON twin under /api/. Everything from a capture is escaped where it is printed;
// state changes need the form's secret and a same-origin request.
#include "web.h"

#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "html.h"

namespace hestolvane::lab {

namespace {

using Json = nlohmann::json;

constexpr size_t LargestRequest = size_t{16} * 1024;

const char* const Style = R"(body{font:14px/1.4 system-ui,sans-serif;margin:0;color:#222}
header{background:#2b3440;color:#fff;padding:8px 16px}header a{color:#fff;margin-right:16px;text-decoration:none}
main{padding:8px 16px}table{border-collapse:collapse;margin:8px 0}td,th{border-bottom:1px solid #ddd;padding:3px 8px;
text-align:left;vertical-align:top}th a{color:inherit}pre{background:#f6f6f6;padding:8px;overflow:auto;max-height:40em}
.mark{font-size:11px;padding:1px 5px;border-radius:3px;color:#fff}.new{background:#2d7d2d}.regressed{background:#b03030}
.fixed{background:#777}.flag{color:#b03030}.ok{color:#2d7d2d}.muted{color:#777}form.inline{display:inline}
.num{text-align:right}nav.pages a{margin-right:8px}
.banner{background:#b03030;color:#fff;padding:6px 16px}.banner.spool{background:#8a6d00}
)";

// Polls the record's generation and reloads the page when it moves, unless someone is typing.
const char* const LiveScript = R"((function () {
  var shown = document.body.getAttribute('data-generation');
  function poll() {
    fetch('/api/generation', {credentials: 'same-origin'}).then(function (r) { return r.json(); })
      .then(function (j) {
        var active = document.activeElement;
        var typing = active && (active.tagName === 'INPUT' || active.tagName === 'TEXTAREA') && active.value;
        if (String(j.generation) !== shown && !typing) { location.reload(); return; }
        setTimeout(poll, 300);
      }).catch(function () { setTimeout(poll, 1000); });
  }
  setTimeout(poll, 300);
})();
)";

std::string RandomSecret() {
    std::array<unsigned char, 16> Bytes{};
    const int Random = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (Random >= 0) {
        if (read(Random, Bytes.data(), Bytes.size()) != static_cast<ssize_t>(Bytes.size())) {
            Bytes.fill(0);
        }
        close(Random);
    }
    std::string Text;
    for (const unsigned char Each : Bytes) {
        char Hex[3];
        std::snprintf(Hex, sizeof(Hex), "%02x", Each);
        Text += Hex;
    }
    return Text;
}

bool SameSecret(const std::string& Given, const std::string& Expected) {
    if (Given.size() != Expected.size()) {
        return false;
    }
    unsigned char Difference = 0;
    for (size_t Index = 0; Index < Given.size(); ++Index) {
        Difference |= static_cast<unsigned char>(Given[Index] ^ Expected[Index]);
    }
    return Difference == 0;
}

std::string Param(const httplib::Request& Request, const char* Name) {
    return Request.has_param(Name) ? Request.get_param_value(Name) : std::string();
}

int64_t NumberParam(const httplib::Request& Request, const char* Name) {
    const std::string Text = Param(Request, Name);
    if (Text.empty() || Text.size() > 18 || Text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::stoll(Text);
}

std::string CookieValue(const httplib::Request& Request, const std::string& Name) {
    const std::string Cookies = Request.get_header_value("Cookie");
    size_t Position = 0;
    while (Position < Cookies.size()) {
        const size_t End = std::min(Cookies.find(';', Position), Cookies.size());
        std::string Pair = Cookies.substr(Position, End - Position);
        Pair.erase(0, Pair.find_first_not_of(' '));
        if (Pair.rfind(Name + "=", 0) == 0) {
            return Pair.substr(Name.size() + 1);
        }
        Position = End + 1;
    }
    return "";
}

void SendJson(httplib::Response& Response, const Json& Document) {
    Response.set_content(Document.dump(1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void SendText(httplib::Response& Response, const std::string& Latin1) {
    Response.set_content(Latin1ToUtf8(Latin1), "text/plain; charset=utf-8");
}

std::string Page(const std::string& Title, const std::string& Generation, const std::string& Body) {
    return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + Escape(Title) +
           " - hestolvane-lab</title><link rel=\"stylesheet\" href=\"/style.css\"></head><body data-generation=\"" +
           Escape(Generation) + "\"><header><a href=\"/buckets\">Buckets</a><a href=\"/machines\">Machines</a>"
           "<span class=\"muted\">hestolvane-lab</span></header><main>" +
           Body + "</main><script src=\"/live.js\"></script></body></html>";
}

void SendPage(httplib::Response& Response, const std::string& Html) {
    Response.set_content(Html, "text/html; charset=utf-8");
}

std::string Marks(const std::string& State, bool New) {
    std::string Text;
    if (New) {
        Text += "<span class=\"mark new\">new</span> ";
    }
    if (State == "regressed" || State == "fixed") {
        Text += "<span class=\"mark " + State + "\">" + State + "</span>";
    }
    return Text;
}

std::string BucketLink(const std::string& Bucket) {
    return "<a href=\"/bucket?name=" + UrlEncode(Bucket) + "\">" + EscapeBytes(Bucket) + "</a>";
}

std::string ReportLink(int64_t Id) {
    return "<a href=\"/report?id=" + std::to_string(Id) + "\">report " + std::to_string(Id) + "</a>";
}

Json DailyJson(const std::vector<unsigned>& Daily) {
    Json List = Json::array();
    for (const unsigned Each : Daily) {
        List.push_back(Each);
    }
    return List;
}

// The filters of the Buckets page, as given.
BucketFilter FilterOf(const httplib::Request& Request) {
    BucketFilter Filter;
    Filter.Code = Param(Request, "code");
    Filter.Module = Param(Request, "module");
    Filter.Machine = Param(Request, "machine");
    Filter.Tag = Param(Request, "tag");
    Filter.Owner = Param(Request, "owner");
    Filter.Days = static_cast<int>(std::min<int64_t>(std::max<int64_t>(NumberParam(Request, "days"), 0), 3650));
    if (Request.has_param("sort")) {
        Filter.Sort = Param(Request, "sort");
    }
    return Filter;
}

Json BucketsJson(const std::vector<BucketRow>& Rows) {
    Json List = Json::array();
    for (const BucketRow& Row : Rows) {
        List.push_back({{"bucket", Latin1ToUtf8(Row.Bucket)}, {"code", Row.Code}, {"module", Latin1ToUtf8(Row.Module)},
                        {"owner", Row.Owner.empty() ? Json(nullptr) : Json(Latin1ToUtf8(Row.Owner))},
                        {"count", Row.Count}, {"machines", Row.Machines}, {"first_seen", Row.FirstSeen},
                        {"last_seen", Row.LastSeen}, {"daily", DailyJson(Row.Daily)}, {"new", Row.New},
                        {"state", Row.State}});
    }
    return {{"kind", "buckets"}, {"schema", 1}, {"buckets", List}};
}

std::string BucketsHtml(const std::vector<BucketRow>& Rows, const BucketFilter& Filter) {
    auto SortLink = [&Filter](const char* Key, const char* Label) {
        return std::string("<a href=\"/buckets?sort=") + Key + "&amp;code=" + UrlEncode(Filter.Code) + "&amp;module=" +
               UrlEncode(Filter.Module) + "&amp;machine=" + UrlEncode(Filter.Machine) + "&amp;tag=" +
               UrlEncode(Filter.Tag) + "&amp;owner=" + UrlEncode(Filter.Owner) + "&amp;days=" +
               std::to_string(Filter.Days) + "\">" + Label + "</a>";
    };
    std::string Body = "<h1>Buckets</h1><form method=\"get\" action=\"/buckets\">"
                       "code <input name=\"code\" size=\"6\" value=\"" + Escape(Filter.Code) + "\"> "
                       "module <input name=\"module\" size=\"14\" value=\"" + Escape(Filter.Module) + "\"> "
                       "machine <input name=\"machine\" size=\"10\" value=\"" + Escape(Filter.Machine) + "\"> "
                       "tag <input name=\"tag\" size=\"10\" value=\"" + Escape(Filter.Tag) + "\"> "
                       "owner <input name=\"owner\" size=\"10\" value=\"" + Escape(Filter.Owner) + "\"> "
                       "seen within <input name=\"days\" size=\"3\" value=\"" + (Filter.Days > 0 ? std::to_string(Filter.Days) : "") + "\"> days "
                       "<input type=\"hidden\" name=\"sort\" value=\"" + Escape(Filter.Sort) + "\">"
                       "<button>Filter</button> <a href=\"/api/buckets\">JSON</a></form>";
    Body += "<table id=\"buckets\"><tr><th>" + SortLink("bucket", "Bucket") + "</th><th></th><th>" + SortLink("count", "Reports") +
            "</th><th>" + SortLink("machines", "Machines") + "</th><th>Owner</th><th>" + SortLink("first", "First seen") + "</th><th>" +
            SortLink("last", "Last seen") + "</th><th>14 days</th></tr>";
    for (const BucketRow& Row : Rows) {
        Body += "<tr class=\"bucket\"><td>" + BucketLink(Row.Bucket) + "</td><td>" + Marks(Row.State, Row.New) +
                "</td><td class=\"num\">" + std::to_string(Row.Count) + "</td><td class=\"num\">" +
                std::to_string(Row.Machines) + "</td><td>" + Escape(Row.Owner) + "</td><td>" + Escape(Row.FirstSeen) + "</td><td>" + Escape(Row.LastSeen) +
                "</td><td>" + Sparkline(Row.Daily) + "</td></tr>";
    }
    Body += "</table>";
    if (Rows.empty()) {
        Body += "<p class=\"muted\">No reports yet.</p>";
    }
    return Body;
}

Json BucketJson(const BucketDetail& Detail) {
    Json Reports = Json::array();
    for (const ReportRow& Row : Detail.Reports) {
        Reports.push_back({{"id", Row.Id}, {"machine", Row.Machine}, {"crash_time", Row.CrashTime}, {"arrived", Row.Arrived},
                           {"driver_version", Row.DriverVersion ? Json(*Row.DriverVersion) : Json(nullptr)},
                           {"truncated", Row.Truncated}});
    }
    return {{"kind", "bucket"}, {"schema", 1}, {"bucket", Latin1ToUtf8(Detail.Bucket)}, {"signature", Detail.Signature},
            {"canonical", Latin1ToUtf8(Detail.Canonical)},
            {"culprit", {{"module", Latin1ToUtf8(Detail.CulpritModule)}, {"function", Latin1ToUtf8(Detail.CulpritFunction)},
                         {"source", Latin1ToUtf8(Detail.CulpritSource)}}},
            {"state", Detail.State}, {"fixed_at", Detail.FixedAt}, {"note", Detail.Note},
            {"regressed_at", Detail.RegressedAt}, {"count", Detail.Count}, {"per_machine", Detail.PerMachine},
            {"per_driver_version", Detail.PerDriverVersion}, {"daily", DailyJson(Detail.Daily)},
            {"page", Detail.Page}, {"pages", Detail.Pages}, {"reports", Reports}};
}

std::string BucketHtml(const BucketDetail& Detail, const std::string& Csrf) {
    std::string Culprit = EscapeBytes(Detail.CulpritModule);
    if (!Detail.CulpritFunction.empty()) {
        Culprit += "!" + EscapeBytes(Detail.CulpritFunction);
    }
    if (!Detail.CulpritSource.empty()) {
        Culprit += " [" + EscapeBytes(Detail.CulpritSource) + "]";
    }
    const std::string Hidden = "<input type=\"hidden\" name=\"name\" value=\"" + EscapeBytes(Detail.Bucket) +
                               "\"><input type=\"hidden\" name=\"csrf\" value=\"" + Csrf + "\">";
    std::string Body = "<h1>" + EscapeBytes(Detail.Bucket) + " " + Marks(Detail.State, false) + "</h1>";
    Body += "<table><tr><th>Culprit</th><td id=\"culprit\">" + Culprit + "</td></tr><tr><th>Signature</th><td>" +
            Escape(Detail.Signature) + "</td></tr><tr><th>Reports</th><td>" + std::to_string(Detail.Count) + " " +
            Sparkline(Detail.Daily) + "</td></tr><tr><th>State</th><td id=\"state\">" + Escape(Detail.State);
    if (!Detail.FixedAt.empty()) {
        Body += ", marked fixed " + Escape(Detail.FixedAt) + (Detail.Note.empty() ? "" : ": " + Escape(Detail.Note));
    }
    if (!Detail.RegressedAt.empty()) {
        Body += ", seen again " + Escape(Detail.RegressedAt);
    }
    Body += "</td></tr></table>";
    if (Detail.State == "open") {
        Body += "<form method=\"post\" action=\"/bucket/fix\" id=\"fix\">" + Hidden +
                "note <input name=\"note\" size=\"40\" maxlength=\"500\"> <button>Mark fixed</button></form>";
    } else {
        Body += "<form method=\"post\" action=\"/bucket/reopen\" id=\"reopen\">" + Hidden + "<button>Reopen</button></form>";
    }
    Body += "<h2>Canonical text</h2><pre>" + EscapeBytes(Detail.Canonical) + "</pre><h2>Per machine</h2><table>";
    for (const auto& [Machine, Count] : Detail.PerMachine) {
        Body += "<tr><td>" + Escape(Machine) + "</td><td class=\"num\">" + std::to_string(Count) + "</td></tr>";
    }
    Body += "</table><h2>Per driver version</h2><table>";
    for (const auto& [Version, Count] : Detail.PerDriverVersion) {
        Body += "<tr><td>" + Escape(Version) + "</td><td class=\"num\">" + std::to_string(Count) + "</td></tr>";
    }
    Body += "</table><h2>Reports, newest first</h2><table id=\"reports\"><tr><th>Report</th><th>Machine</th><th>Crashed</th>"
            "<th>Arrived</th><th>Driver</th><th></th></tr>";
    for (const ReportRow& Row : Detail.Reports) {
        Body += "<tr><td>" + ReportLink(Row.Id) + "</td><td>" + Escape(Row.Machine) + "</td><td>" + Escape(Row.CrashTime) +
                "</td><td>" + Escape(Row.Arrived) + "</td><td>" +
                (Row.DriverVersion ? std::to_string(*Row.DriverVersion) : "") + "</td><td>" +
                (Row.Truncated ? "truncated" : "") + "</td></tr>";
    }
    Body += "</table><nav class=\"pages\">";
    for (unsigned Page = 0; Page < Detail.Pages && Detail.Pages > 1; ++Page) {
        Body += "<a href=\"/bucket?name=" + UrlEncode(Detail.Bucket) + "&amp;page=" + std::to_string(Page) + "\">" +
                std::to_string(Page + 1) + "</a>";
    }
    Body += "</nav><p><a href=\"/api/bucket?name=" + UrlEncode(Detail.Bucket) + "\">JSON</a></p>";
    return Body;
}

Json ReportJsonOf(const ReportDetail& Detail) {
    Json Document = Json::parse(Detail.Document, nullptr, false);
    return {{"kind", "lab_report"}, {"schema", 1}, {"id", Detail.Row.Id}, {"machine", Detail.Row.Machine},
            {"bucket", Latin1ToUtf8(Detail.Row.Bucket)}, {"signature", Detail.Signature},
            {"arrived", Detail.Row.Arrived}, {"boot_load_time", Detail.BootLoadTime},
            {"boot_state", Detail.BootState}, {"raw", Latin1ToUtf8(Detail.Raw)},
            {"report", Document.is_discarded() ? Json(nullptr) : Document}};
}

std::string Text(const Json& Value) {
    return Value.is_string() ? Value.get<std::string>() : Value.is_null() ? "" : Value.dump();
}

std::string ReportHtml(const ReportDetail& Detail, const std::string& ModuleQuery) {
    const Json Document = Json::parse(Detail.Document, nullptr, false);
    const Json Empty = Json::object();
    const Json& Report = Document.is_object() ? Document : Empty;
    std::string Body = "<h1>Report " + std::to_string(Detail.Row.Id) + " from " + Escape(Detail.Row.Machine) + "</h1><table>";
    auto Row = [&Body](const char* Label, const std::string& Html) {
        Body += std::string("<tr><th>") + Label + "</th><td>" + Html + "</td></tr>";
    };
    Row("Crashed", Escape(Detail.Row.CrashTime));
    Row("Arrived", Escape(Detail.Row.Arrived));
    Row("Boot", Escape(Detail.BootLoadTime) + (Detail.BootState.empty() ? "" : ", " + Escape(Detail.BootState)) +
                    (Detail.Row.DriverVersion ? ", driver version " + std::to_string(*Detail.Row.DriverVersion) : ""));
    if (Report.contains("bug_check") && Report["bug_check"].is_object()) {
        const Json& Check = Report["bug_check"];
        std::string Parameters;
        if (Check.contains("parameters") && Check["parameters"].is_array()) {
            for (const Json& Each : Check["parameters"]) {
                Parameters += " " + Escape(Text(Each));
            }
        }
        Row("Bug check", Escape(Text(Check.value("code", Json()))) + " " + Escape(Text(Check.value("name", Json()))));
        Row("Parameters", Parameters);
    }
    Row("Bucket", BucketLink(Detail.Row.Bucket));
    Row("Signature", Escape(Detail.Signature));
    Row("Ended", Escape(Text(Report.value("end", Json()))) +
                     (Report.value("truncation", Json()).is_null() ? "" : ", " + Escape(Text(Report.value("truncation", Json())))));
    Body += "</table><p><a href=\"/api/report?id=" + std::to_string(Detail.Row.Id) + "\">JSON</a> | <a href=\"/api/report/raw?id=" +
            std::to_string(Detail.Row.Id) + "\">raw bytes</a></p>";
    if (Report.contains("warnings") && Report["warnings"].is_array() && !Report["warnings"].empty()) {
        Body += "<h2>Warnings</h2><ul>";
        for (const Json& Each : Report["warnings"]) {
            Body += "<li>line " + Escape(Text(Each.value("line", Json()))) + ": " + Escape(Text(Each.value("message", Json()))) +
                    " <code>" + Escape(Text(Each.value("text", Json()))) + "</code></li>";
        }
        Body += "</ul>";
    }
    Body += "<h2>Frames</h2><table id=\"frames\"><tr><th>#</th><th>Frame</th><th>Source</th></tr>";
    if (Report.contains("frames") && Report["frames"].is_array()) {
        for (const Json& Frame : Report["frames"]) {
            std::string Where;
            if (!Frame.value("module", Json()).is_null()) {
                Where = Escape(Text(Frame["module"]));
                if (!Frame.value("function", Json()).is_null()) {
                    Where += "!" + Escape(Text(Frame["function"])) + "+" + Escape(Text(Frame.value("function_offset", Json())));
                } else {
                    Where += "+" + Escape(Text(Frame.value("offset", Json())));
                }
            } else {
                Where = Escape(Text(Frame.value("address", Json())));
            }
            std::string Source;
            if (!Frame.value("source_file", Json()).is_null()) {
                Source = Escape(Text(Frame["source_file"])) + ":" + Escape(Text(Frame.value("source_line", Json())));
            }
            Body += "<tr><td>" + Escape(Text(Frame.value("index", Json()))) + "</td><td>";
            Body += Where + "</td><td>";
            Body += Source + "</td></tr>";
            if (Frame.contains("inlined") && Frame["inlined"].is_array()) {
                for (const Json& Call : Frame["inlined"]) {
                    Body += "<tr><td></td><td class=\"muted\">inlined " + Escape(Text(Call.value("function", Json()))) +
                            "</td><td>" + Escape(Text(Call.value("source_file", Json()))) + ":" +
                            Escape(Text(Call.value("source_line", Json()))) + "</td></tr>";
                }
            }
        }
    }
    Body += "</table><h2>Modules</h2><form method=\"get\" action=\"/report\"><input type=\"hidden\" name=\"id\" value=\"" +
            std::to_string(Detail.Row.Id) + "\">search <input name=\"module\" value=\"" + Escape(ModuleQuery) +
            "\"> <button>Search</button></form><table id=\"modules\"><tr><th>Start</th><th>End</th><th>Module</th><th>PDB</th>"
            "<th>GUID</th><th>Symbols</th></tr>";
    if (Report.contains("modules") && Report["modules"].is_array()) {
        for (const Json& Module : Report["modules"]) {
            const std::string Name = Text(Module.value("name", Json()));
            const std::string Path = Text(Module.value("path", Json()));
            if (!ModuleQuery.empty() && Name.find(ModuleQuery) == std::string::npos && Path.find(ModuleQuery) == std::string::npos) {
                continue;
            }
            const Json Symbols = Module.value("symbols", Json::object());
            Body += "<tr class=\"module\"><td>" + Escape(Text(Module.value("start", Json()))) + "</td><td>" +
                    Escape(Text(Module.value("end", Json()))) + "</td><td>" + Escape(Name) + "<br><span class=\"muted\">" +
                    Escape(Path) + "</span></td><td>" + Escape(Text(Module.value("pdb_path", Json()))) + "</td><td>" +
                    Escape(Text(Module.value("guid", Json()))) + "</td><td>" +
                    Escape(Symbols.is_object() ? Text(Symbols.value("state", Json())) : "") + "</td></tr>";
        }
    }
    Body += "</table><h2>As captured</h2><pre id=\"raw\">" + EscapeBytes(Detail.Raw) + "</pre>";
    return Body;
}

Json MachinesJson(const std::vector<MachineRow>& Rows, const std::map<std::string, LiveState>& Live) {
    Json List = Json::array();
    for (const MachineRow& Row : Rows) {
        const auto Found = Live.find(Row.Name);
        const LiveState State = Found != Live.end() ? Found->second : LiveState{};
        List.push_back({{"name", Row.Name}, {"tags", Row.Tags}, {"source", Row.Source}, {"configured", Row.Configured},
                        {"connected", State.Connected}, {"since", State.Since},
                        {"last_bytes", State.LastBytes.empty() ? Row.LastBytes : State.LastBytes},
                        {"bytes", State.Bytes}, {"dropped", State.Dropped}, {"problem", State.Problem},
                        {"boots", Row.Boots}, {"crashes", Row.Crashes}, {"current_boot", Row.CurrentBoot},
                        {"current_state", Row.CurrentState},
                        {"health", {{"crashes_without_report", Row.Derived.CrashesWithoutReport},
                                    {"boot_loop", Row.Derived.BootLoop},
                                    {"unexplained_reboots", Row.Derived.UnexplainedReboots},
                                    {"flags", Row.Derived.Flags}}}});
    }
    return {{"kind", "machines"}, {"schema", 1}, {"machines", List}};
}

std::string MachinesHtml(const std::vector<MachineRow>& Rows, const std::map<std::string, LiveState>& Live) {
    std::string Body = "<h1>Machines</h1><p><a href=\"/api/machines\">JSON</a></p><table id=\"machines\"><tr><th>Machine</th>"
                       "<th>Tags</th><th>Source</th><th>Connected</th><th>Last bytes</th><th>Current boot</th><th>Boots</th>"
                       "<th>Crashes</th><th>Health</th></tr>";
    for (const MachineRow& Row : Rows) {
        const auto Found = Live.find(Row.Name);
        const LiveState State = Found != Live.end() ? Found->second : LiveState{};
        std::string Tags;
        for (const auto& [Key, Value] : Row.Tags) {
            Tags += Escape(Key) + "=" + Escape(Value) + " ";
        }
        std::string Health;
        for (const std::string& Flag : Row.Derived.Flags) {
            Health += "<div class=\"flag\">" + Escape(Flag) + "</div>";
        }
        if (Health.empty()) {
            Health = "<span class=\"ok\">ok</span>";
        }
        const std::string Connected = !Row.Configured ? "<span class=\"muted\">not configured</span>"
                                      : State.Connected
                                          ? "<span class=\"ok\">yes</span> since " + Escape(State.Since)
                                          : "<span class=\"flag\">no</span> since " + Escape(State.Since) + " " + Escape(State.Problem);
        Body += "<tr class=\"machine\" data-name=\"" + Escape(Row.Name) + "\"><td><a href=\"/api/machine/raw?name=" +
                UrlEncode(Row.Name) + "\">" + Escape(Row.Name) + "</a></td><td>";
        Body += Tags + "</td><td>" + Escape(Row.Source) + "</td><td>";
        Body += Connected + "</td><td>" + Escape(State.LastBytes.empty() ? Row.LastBytes : State.LastBytes) + "</td><td>" +
                Escape(Row.CurrentBoot) + " " + Escape(Row.CurrentState) + "</td><td class=\"num\">" +
                std::to_string(Row.Boots) + "</td><td class=\"num\">" + std::to_string(Row.Crashes) +
                "</td><td class=\"health\">";
        Body += Health + "</td></tr>";
    }
    return Body + "</table>";
}

}  // namespace

Dashboard::Dashboard(LabStore& Store, LiveSource Live, std::function<uint64_t()> LiveChanges, DashboardOptions Options)
    : Store(Store), Live(std::move(Live)), LiveChanges(std::move(LiveChanges)), Options(std::move(Options)), Csrf(RandomSecret()),
      Server(std::make_unique<httplib::Server>()) {
    Routes();
}

Dashboard::~Dashboard() {
    Stop();
}

bool Dashboard::Start(std::string& Error) {
    Bound = Options.Port == 0 ? Server->bind_to_any_port(Options.Host) : (Server->bind_to_port(Options.Host, Options.Port) ? Options.Port : -1);
    if (Bound <= 0) {
        Error = "cannot listen on " + Options.Host + ":" + std::to_string(Options.Port);
        return false;
    }
    Serving = std::thread([this] { Server->listen_after_bind(); });
    return true;
}

void Dashboard::Stop() {
    if (Serving.joinable()) {
        Server->stop();
        Serving.join();
    }
}

void Dashboard::Deliver(httplib::Response& Response, std::string Html) const {
    const LabStore::ReadHealth Read = Store.ReadState();
    std::string Banner;
    if (!Read.Reachable) {
        Response.status = 503;
        Banner = "<div class=\"banner\" id=\"unreachable\">The index cannot be reached: nothing here is current. Last read " +
                 Escape(Read.LastRead.empty() ? "never" : Read.LastRead) + ".</div>";
    }
    if (SpoolCounts) {
        if (const Spool::Counts Waiting = SpoolCounts(); Waiting.Batches > 0 || Waiting.RefusedReports > 0) {
            Banner += "<div class=\"banner spool\" id=\"spool\">" + std::to_string(Waiting.Reports) +
                      " reports wait in the spool for the index" +
                      (Waiting.RefusedReports > 0 ? "; " + std::to_string(Waiting.RefusedReports) + " refused, the spool being full" : "") +
                      ".</div>";
        }
    }
    if (const size_t Main = Html.find("<main>"); Main != std::string::npos && !Banner.empty()) {
        Html.insert(Main, Banner);
    }
    SendPage(Response, Html);
}

void Dashboard::DeliverJson(httplib::Response& Response, Json Document) const {
    const LabStore::ReadHealth Read = Store.ReadState();
    if (!Read.Reachable) {
        Response.status = 503;
    }
    Document["index_reachable"] = Read.Reachable;
    Document["index_last_read"] = Read.LastRead.empty() ? Json(nullptr) : Json(Read.LastRead);
    if (SpoolCounts) {
        const Spool::Counts Waiting = SpoolCounts();
        Document["spooled_reports"] = Waiting.Reports;
        Document["spool_refused_reports"] = Waiting.RefusedReports;
    }
    SendJson(Response, Document);
}

void Dashboard::Routes() {
    httplib::Server& On = *Server;
    On.set_payload_max_length(LargestRequest);
    On.new_task_queue = [] { return new httplib::ThreadPool(4); };

    On.set_pre_routing_handler([this](const httplib::Request& Request, httplib::Response& Response) {
        Response.set_header("X-Content-Type-Options", "nosniff");
        Response.set_header("Referrer-Policy", "same-origin");
        Response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
                            "form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
        if (Options.Token.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (Request.path == "/login" && SameSecret(Param(Request, "token"), Options.Token)) {
            Response.set_header("Set-Cookie", "hestolvane_token=" + Options.Token + "; HttpOnly; SameSite=Strict; Path=/");
            Response.set_redirect("/buckets", 303);
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string Header = Request.get_header_value("Authorization");
        const bool Bearer = Header.rfind("Bearer ", 0) == 0 && SameSecret(Header.substr(7), Options.Token);
        if (!Bearer && !SameSecret(CookieValue(Request, "hestolvane_token"), Options.Token)) {
            Response.status = 401;
            Response.set_content("a token is required: /login?token=... or Authorization: Bearer ...\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    // A page takes the generation before it reads the record: taken after, a change committed between
    // the two would be claimed as shown, and the open page would never reload to show it.
    auto Generation = [this] { return std::to_string(Store.Generation()) + "." + std::to_string(LiveChanges()); };

    On.Get("/", [](const httplib::Request&, httplib::Response& Response) { Response.set_redirect("/buckets", 303); });
    On.Get("/style.css", [](const httplib::Request&, httplib::Response& Response) { Response.set_content(Style, "text/css"); });
    On.Get("/live.js", [](const httplib::Request&, httplib::Response& Response) {
        Response.set_content(LiveScript, "text/javascript");
    });
    On.Get("/api/generation", [Generation](const httplib::Request&, httplib::Response& Response) {
        SendJson(Response, {{"generation", Generation()}});
    });

    On.Get("/buckets", [this, Generation](const httplib::Request& Request, httplib::Response& Response) {
        const std::string Shown = Generation();
        const BucketFilter Filter = FilterOf(Request);
        Deliver(Response, Page("Buckets", Shown, BucketsHtml(Store.Buckets(Filter), Filter)));
    });
    On.Get("/api/buckets", [this](const httplib::Request& Request, httplib::Response& Response) {
        DeliverJson(Response, BucketsJson(Store.Buckets(FilterOf(Request))));
    });

    On.Get("/bucket", [this, Generation](const httplib::Request& Request, httplib::Response& Response) {
        const std::string Shown = Generation();
        const auto Detail = Store.Bucket(Param(Request, "name"), static_cast<unsigned>(std::max<int64_t>(NumberParam(Request, "page"), 0)));
        if (!Detail) {
            Response.status = 404;
            Deliver(Response, Page("No such bucket", Shown, "<h1>No such bucket</h1>"));
            return;
        }
        Deliver(Response, Page(Latin1ToUtf8(Detail->Bucket), Shown, BucketHtml(*Detail, Csrf)));
    });
    On.Get("/api/bucket", [this](const httplib::Request& Request, httplib::Response& Response) {
        const auto Detail = Store.Bucket(Param(Request, "name"), static_cast<unsigned>(std::max<int64_t>(NumberParam(Request, "page"), 0)));
        if (!Detail) {
            Response.status = 404;
            DeliverJson(Response, {{"error", "no such bucket"}});
            return;
        }
        DeliverJson(Response, BucketJson(*Detail));
    });

    // State changes: the form's secret, and when the browser says where the request comes from, this
    // server. A cross-site form post carries neither.
    auto Change = [this](const std::function<bool(const std::string&, const std::string&)>& Apply) {
        return [this, Apply](const httplib::Request& Request, httplib::Response& Response) {
            const std::string Origin = Request.get_header_value("Origin");
            const std::string Host = Request.get_header_value("Host");
            const bool SameOrigin = Origin.empty() || Origin == "http://" + Host || Origin == "https://" + Host;
            if (!SameSecret(Param(Request, "csrf"), Csrf) || !SameOrigin) {
                Response.status = 403;
                Response.set_content("this request did not come from the dashboard's own form\n", "text/plain");
                return;
            }
            const std::string Name = Param(Request, "name");
            const std::string Note = Param(Request, "note").substr(0, 500);
            if (Name.empty() || !Store.Bucket(Name, 0) || !Apply(Name, Note)) {
                Response.status = 404;
                Response.set_content("no such bucket\n", "text/plain");
                return;
            }
            Response.set_redirect("/bucket?name=" + UrlEncode(Name), 303);
        };
    };
    On.Post("/bucket/fix", Change([this](const std::string& Name, const std::string& Note) { return Store.MarkFixed(Name, Note); }));
    On.Post("/bucket/reopen", Change([this](const std::string& Name, const std::string&) { return Store.Reopen(Name); }));

    On.Get("/report", [this, Generation](const httplib::Request& Request, httplib::Response& Response) {
        const std::string Shown = Generation();
        const auto Detail = Store.Report(NumberParam(Request, "id"));
        if (!Detail) {
            Response.status = 404;
            Deliver(Response, Page("No such report", Shown, "<h1>No such report</h1>"));
            return;
        }
        Deliver(Response, Page("Report " + std::to_string(Detail->Row.Id), Shown, ReportHtml(*Detail, Param(Request, "module"))));
    });
    On.Get("/api/report", [this](const httplib::Request& Request, httplib::Response& Response) {
        const auto Detail = Store.Report(NumberParam(Request, "id"));
        if (!Detail) {
            Response.status = 404;
            DeliverJson(Response, {{"error", "no such report"}});
            return;
        }
        DeliverJson(Response, ReportJsonOf(*Detail));
    });
    On.Get("/api/report/raw", [this](const httplib::Request& Request, httplib::Response& Response) {
        const auto Detail = Store.Report(NumberParam(Request, "id"));
        if (!Detail) {
            Response.status = 404;
            return;
        }
        SendText(Response, Detail->Raw);
    });

    On.Get("/machines", [this, Generation](const httplib::Request&, httplib::Response& Response) {
        const std::string Shown = Generation();
        Deliver(Response, Page("Machines", Shown, MachinesHtml(Store.Machines(), Live())));
    });
    On.Get("/api/machines", [this](const httplib::Request&, httplib::Response& Response) {
        DeliverJson(Response, MachinesJson(Store.Machines(), Live()));
    });
    On.Get("/api/machine/raw", [this](const httplib::Request& Request, httplib::Response& Response) {
        SendText(Response, Store.RawLog(Param(Request, "name")));
    });
}

}  // namespace hestolvane::lab
