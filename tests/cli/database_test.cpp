// A line of stations on one PostgreSQL server, as a factory runs it: the
// server the test starts itself, kep-sim fixtures, stations as processes,
// the server stopped and a station killed under them.
#include "commit_proxy.h"
#include "rig.h"
#include "throwaway_server.h"

#include <csignal>
#include <fstream>
#include <gmock/gmock.h>

using testing::HasSubstr;
using testing::Not;

class LineDatabase : public rig
{
  protected:
    void SetUp() override
    {
        rig::SetUp();
        ASSERT_TRUE(server_start(&server, dir + "/pg")) << text_of(dir + "/pg/server.err");
        std::ofstream(dir + "/connection") << server.connection << "\n";
    }
    void TearDown() override
    {
        proxy_stop(&proxy);
        server_stop(&server, SIGQUIT);
        rig::TearDown();
    }
    int init(const char *start)
    {
        return run_tool({"--database", "@" + dir + "/connection", "--init-database",
                         "--serial-start", start})
            .status;
    }
    // A station named `name` numbering the boards on the ports matching `ports`.
    std::vector<std::string> station(const std::string &name, const std::string &ports)
    {
        return {"--watch",  "--port",       ports,     "--image",    numbered,
                "--serial-number", "0x08000864", "--database", "@" + dir + "/connection",
                "--station", name,          "--outbox", dir + "/" + name + ".outbox",
                "--timeout", "20",          "--quiet"};
    }
    std::string sql(const std::string &query)
    {
        std::string rows;
        EXPECT_TRUE(server_sql(server, query, &rows)) << rows;
        while (!rows.empty() && rows.back() == '\n')
            rows.pop_back();
        return rows;
    }
    bool records_are(int count)
    {
        return wait_until([&] {
            std::string rows;
            return server_sql(server, "SELECT count(*) FROM kep_board_record", &rows) &&
                   rows == std::to_string(count) + "\n";
        }, 20000);
    }
    // The boards on `slots` swapped for new ones, `placing` their fixture line.
    void swap(const std::vector<std::string> &slots, const std::string &placing = "insert")
    {
        for (const auto &slot : slots)
            command(slot, "remove\n");
        usleep(300 * 1000);
        for (const auto &slot : slots)
            command(slot, placing + "\n");
    }
    throwaway_server server;
    commit_proxy proxy;
};

TEST_F(LineDatabase, ThreeStationsShareOnePoolThroughServerRestartsAndLoseNothing)
{
    ASSERT_EQ(init("100"), 0);
    std::vector<std::string> slots;
    child stations[3];
    for (int s = 0; s < 3; s++) {
        std::string name = "s" + std::to_string(s);
        for (const char *place : {"-a", "-b"})
            fixture(slots.emplace_back(name + place), "insert");
        std::vector<std::string> arguments = station(name, dir + "/rig/" + name + "-*");
        if (s == 2) { // the connection from the environment: no password on the command line
            std::erase(arguments, "@" + dir + "/connection");
            setenv("KEP_DATABASE", server.connection.c_str(), 1);
        }
        ASSERT_TRUE(start_tool(&stations[s], arguments));
    }
    unsetenv("KEP_DATABASE");
    ASSERT_TRUE(records_are(6));
    ASSERT_TRUE(server_stop(&server, SIGINT)); // fast: the boards placed now wait for numbers
    swap(slots);
    usleep(800 * 1000);
    ASSERT_TRUE(server_start(&server, dir + "/pg"));
    ASSERT_TRUE(records_are(12));
    swap(slots, "insert --flash-ms 150");
    ASSERT_TRUE(wait_for(dir + "/s1-b.err", "request 0xf2", 5000));
    ASSERT_TRUE(server_stop(&server, SIGQUIT)); // immediate, mid-update: records go to the outbox
    usleep(800 * 1000);
    ASSERT_TRUE(server_start(&server, dir + "/pg"));
    ASSERT_TRUE(records_are(18));
    for (child &s : stations) {
        kill(s.pid, SIGINT);
        child_run run = child_finish(&s, in_ms(10000));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_THAT(run.err, Not(HasSubstr(server.connection.substr(server.connection.find("Pwd")))));
    }
    EXPECT_EQ(sql("SELECT count(DISTINCT serial_number), min(serial_number), max(serial_number) "
                  "FROM kep_board_record WHERE outcome = 'updated'"),
              "18|100|117");
    EXPECT_EQ(sql("SELECT count(*) FROM kep_serial_issued i JOIN kep_board_record r ON "
                  "r.record_id = i.record_id AND r.serial_number = i.serial_number"),
              "18"); // every number in the ledger, none burnt
    for (const auto &slot : slots) {
        EXPECT_EQ(std::to_string(number_in(slot)),
                  sql("SELECT serial_number FROM kep_board_record WHERE port = '" + dir + "/rig/" +
                      slot + "' ORDER BY ended DESC LIMIT 1"));
        EXPECT_EQ(text_of(dir + "/" + slot.substr(0, 2) + ".outbox"), "");
    }
}

TEST_F(LineDatabase, AStationKilledMidBoardLosesNoRecordAndItsBurntNumberIsListed)
{
    ASSERT_EQ(init("500"), 0);
    fixture("k-a", "insert --flash-ms 100");
    fixture("k-b", "insert --flash-ms 900");
    ASSERT_TRUE(start_tool(&tool, station("k", dir + "/rig/k-*")));
    ASSERT_TRUE(wait_for(dir + "/k-a.err", "request 0xf2") &&
                wait_for(dir + "/k-b.err", "request 0xf2")); // both numbered
    ASSERT_TRUE(server_stop(&server, SIGINT));
    ASSERT_TRUE(wait_until([&] { return text_of(dir + "/k.outbox").size() > 0; }));
    kill(tool.pid, SIGKILL); // k-b half written
    child_finish(&tool, in_ms(2000));
    command("k-a", "remove\n");
    command("k-b", "remove\n");
    ASSERT_TRUE(server_start(&server, dir + "/pg"));
    ASSERT_TRUE(start_tool(&tool, station("k", dir + "/rig/k-*")));
    ASSERT_TRUE(records_are(1)); // sent from the outbox the killed station left
    kill(tool.pid, SIGINT);
    EXPECT_EQ(child_finish(&tool, in_ms(10000)).status, 0);
    EXPECT_EQ(text_of(dir + "/k.outbox"), "");
    child_run summary = run_tool({"--summarize", "--database", "@" + dir + "/connection"});
    EXPECT_EQ(summary.status, 0) << summary.err;
    std::string held = sql("SELECT serial_number FROM kep_board_record");
    std::string burnt = held == "500" ? "501" : "500";
    EXPECT_THAT(summary.out, HasSubstr("ledger: 2 numbers taken, 1 burnt"));
    EXPECT_THAT(summary.out, HasSubstr("burnt " + burnt + ": taken "));
    EXPECT_THAT(summary.out, HasSubstr("station k, port " + dir + "/rig/k-b"));
}

// A COMMIT whose answer is lost may or may not have happened: the ledger,
// read after reconnecting, decides, and either way the board's number is
// the ledger's and no number is handed out twice.
TEST_F(LineDatabase, ACommitInDoubtIsSettledFromTheLedger)
{
    ASSERT_EQ(init("100"), 0);
    ASSERT_TRUE(proxy_start(&proxy, server.port));
    std::ofstream(dir + "/via-proxy") << proxy_connection(proxy, server.connection) << "\n";
    int board = 0;
    for (commit_fault fault : {commit_fault::answer_lost, commit_fault::commit_lost}) {
        std::string name = "b" + std::to_string(board++);
        std::string link = start_sim(name);
        proxy_arm(&proxy, fault, "kep_serial_issued");
        child_run run = run_tool({"--port", link, "--image", numbered, "--serial-number",
                                  "0x08000864", "--database", "@" + dir + "/via-proxy", "--outbox",
                                  dir + "/outbox", "--quiet"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(sql("SELECT serial_number FROM kep_serial_issued i JOIN kep_board_record r "
                      "USING (record_id, serial_number) WHERE r.port = '" + link + "'"),
                  std::to_string(number_in(name)));
    }
    EXPECT_EQ(proxy.drops, 2);
    EXPECT_EQ(sql("SELECT count(*), max(serial_number) FROM kep_serial_issued"), "2|101");
    EXPECT_EQ(sql("SELECT next_serial FROM kep_serial_pool"), "102");
}

TEST_F(LineDatabase, AServerThatWillNotDoIsRefusedAtTheStartWithItsCause)
{
    std::string connection = server.connection, password = connection.substr(connection.find("Pwd="));
    password = password.substr(4, password.find(';') - 4);
    std::string wrong = connection, closed = connection;
    wrong.replace(wrong.find(password), password.size(), "not" + password);
    closed.replace(closed.find("Port=") + 5, std::to_string(server.port).size(), "1");
    ASSERT_EQ(init("1"), 0);
    struct fault {
        std::string connection, pool, said;
    } faults[] = {
        {wrong, "default", "password authentication failed"},
        {closed, "default", "server 127.0.0.1 port 1 database postgres cannot be reached: 08001"},
        {connection, "nosuch", "has no serial number pool nosuch"},
        {connection, "default", "has no table kep_board_record"},
    };
    for (const fault &f : faults) {
        if (&f == &faults[3])
            sql("DROP TABLE kep_board_record CASCADE");
        child_run run = run_tool({"--port", dir + "/rig/none", "--serial-number", "0x08000864",
                                  "--image", numbered, "--database", f.connection,
                                  "--serial-pool", f.pool});
        EXPECT_EQ(run.status, 2) << f.said;
        EXPECT_THAT(run.err, HasSubstr(f.said));
        EXPECT_THAT(run.err, Not(HasSubstr(password)));
        EXPECT_THAT(run.err, Not(HasSubstr("rig/none"))); // no port touched
    }
}
