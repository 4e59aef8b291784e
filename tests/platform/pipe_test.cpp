// Message pipes: names, server start-up over a stale socket, busy and wait mapping, message
// boundaries and truncation, shutdown.
#include "platform/pipe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

constexpr const char* kName = "TestPipe";

bool socketFileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

std::string receiveText(PipeConnection& connection, uint32_t* error) {
    std::string buffer(256, '\0');
    size_t size = 0;
    *error = connection.receive(buffer.data(), buffer.size(), &size);
    buffer.resize(*error == kSuccess ? size : 0);
    return buffer;
}

TEST(PipeTest, NoServerIsFileNotFoundAtOnceEvenWhenWaiting) {
    test::TestEnv env;
    PipeConnection client;
    EXPECT_EQ(client.connect(kName), kErrFileNotFound);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.waitForServer(kName, 20000), kErrFileNotFound);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(client.connect("a/b"), kErrInvalidName);
}

TEST(PipeTest, MessagesKeepTheirBoundariesAndOversizeIsReported) {
    test::TestEnv env;
    PipeServer server;
    ASSERT_EQ(PipeServer::create(kName, 8, false, &server), kSuccess);
    EXPECT_TRUE(socketFileExists(pipePath(kName)));

    PipeConnection client;
    ASSERT_EQ(client.connect(kName), kSuccess);
    std::string big(kPipeMaxMessage, 'x');
    ASSERT_EQ(client.send("one", 3), kSuccess);
    ASSERT_EQ(client.send("second message", 14), kSuccess);
    ASSERT_EQ(client.send(big.data(), big.size()), kSuccess);
    ASSERT_EQ(client.send("tail", 4), kSuccess);
    EXPECT_EQ(client.send(big.data(), big.size() + 1), kErrInvalidParameter);
    client.close();

    PipeConnection peer;
    ASSERT_EQ(server.accept(&peer), kSuccess);
    EXPECT_EQ(peer.peerProcessId(), static_cast<uint32_t>(::getpid()));
    uint32_t error = 0;
    EXPECT_EQ(receiveText(peer, &error), "one");
    EXPECT_EQ(receiveText(peer, &error), "second message");
    std::string buffer(16, '\0');
    size_t size = 0;
    EXPECT_EQ(peer.receive(buffer.data(), buffer.size(), &size), kErrMoreData);
    EXPECT_EQ(size, kPipeMaxMessage);
    EXPECT_EQ(receiveText(peer, &error), "tail");  // the cut message did not spill over
    EXPECT_EQ(peer.receive(buffer.data(), buffer.size(), &size), kErrBrokenPipe);
}

TEST(PipeTest, SendToAClosedPeerFailsWithoutSignal) {
    test::TestEnv env;
    PipeServer server;
    ASSERT_EQ(PipeServer::create(kName, 8, false, &server), kSuccess);
    PipeConnection client, peer;
    ASSERT_EQ(client.connect(kName), kSuccess);
    ASSERT_EQ(server.accept(&peer), kSuccess);
    peer.close();
    EXPECT_EQ(client.send("x", 1), kErrNoData);
}

TEST(PipeTest, StaleSocketIsReplacedAndLiveServerIsKept) {
    test::TestEnv env;
    // A server that dies without cleaning up leaves its socket file behind.
    pid_t child = ::fork();
    if (child == 0) {
        PipeServer dying;
        _exit(PipeServer::create(kName, 8, false, &dying) == kSuccess ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(socketFileExists(pipePath(kName)));

    PipeConnection client;
    EXPECT_EQ(client.connect(kName), kErrFileNotFound);
    PipeServer server;
    ASSERT_EQ(PipeServer::create(kName, 8, false, &server), kSuccess);
    ASSERT_EQ(client.connect(kName), kSuccess);

    PipeServer second;
    EXPECT_EQ(PipeServer::create(kName, 8, false, &second), kErrAlreadyExists);
    EXPECT_TRUE(socketFileExists(pipePath(kName)));
}

TEST(PipeTest, ServerRemovesOnlyItsOwnSocketFile) {
    test::TestEnv env;
    const std::string path = pipePath(kName);
    {
        PipeServer first;
        ASSERT_EQ(PipeServer::create(kName, 8, false, &first), kSuccess);
        ASSERT_EQ(::unlink(path.c_str()), 0);  // someone removed the name...
        PipeServer second;                     // ...and a new server took it
        ASSERT_EQ(PipeServer::create(kName, 8, false, &second), kSuccess);
        PipeServer moved = std::move(first);
        moved = PipeServer();  // the first server ends
        EXPECT_TRUE(socketFileExists(path));
        PipeConnection client;
        EXPECT_EQ(client.connect(kName), kSuccess);
    }
    EXPECT_FALSE(socketFileExists(path));
}

TEST(PipeTest, BusyBacklogWaitTimesOutThenSucceedsOnceTheServerAccepts) {
    test::TestEnv env;
    PipeServer server;
    ASSERT_EQ(PipeServer::create(kName, 0, false, &server), kSuccess);
    std::vector<PipeConnection> fillers;
    uint32_t error = kSuccess;
    while (fillers.size() < 16) {
        PipeConnection c;
        error = c.connect(kName);
        if (error != kSuccess)
            break;
        fillers.push_back(std::move(c));
    }
    ASSERT_EQ(error, kErrPipeBusy);

    PipeConnection waiter;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waiter.waitForServer(kName, 200), kErrSemTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

    // The wait's connection is the one the following connect uses: the server sees the
    // message on it and no empty connection.
    uint32_t waited = kErrInvalidHandle;
    std::thread client([&] {
        PipeConnection c;
        waited = c.waitForServer(kName, 10000);
        if (waited == kSuccess)
            waited = c.connect(kName);
        if (waited == kSuccess)
            waited = c.send("waited", 6);
    });
    fillers.clear();
    std::vector<std::string> received;
    int connections = 0;
    while (received.empty()) {
        PipeConnection peer;
        ASSERT_EQ(server.accept(&peer), kSuccess);
        ++connections;
        std::string text = receiveText(peer, &error);
        if (error == kSuccess)
            received.push_back(text);
    }
    client.join();
    EXPECT_EQ(waited, kSuccess);
    EXPECT_EQ(received, std::vector<std::string>{"waited"});
    EXPECT_LE(connections, 17);
}

TEST(PipeTest, StopListeningRefusesNewClientsAndKeepsQueuedOnes) {
    test::TestEnv env;
    PipeServer server;
    ASSERT_EQ(PipeServer::create(kName, 8, true, &server), kSuccess);
    PipeConnection queued;
    ASSERT_EQ(queued.connect(kName), kSuccess);
    ASSERT_EQ(queued.send("queued", 6), kSuccess);
    queued.close();
    // A client that found the socket before it was removed is refused as well.
    ASSERT_EQ(::link(pipePath(kName).c_str(), pipePath("Alias").c_str()), 0);

    server.stopListening();
    EXPECT_FALSE(socketFileExists(pipePath(kName)));
    PipeConnection late;
    EXPECT_EQ(late.connect(kName), kErrFileNotFound);
    EXPECT_EQ(late.connect("Alias"), kErrFileNotFound);

    PipeConnection peer;
    ASSERT_EQ(server.accept(&peer), kSuccess);
    uint32_t error = 0;
    EXPECT_EQ(receiveText(peer, &error), "queued");
    EXPECT_EQ(server.accept(&peer), kErrNoData);
}

TEST(PipeTest, LongRuntimeDirectoryPathsWork) {
    test::TestEnv env;
    std::string deep = env.root() + "/" + std::string(120, 'd');
    ASSERT_EQ(makeDirectories(deep), kSuccess);
    ::setenv("NVL_RUNTIME_DIR", deep.c_str(), 1);
    ASSERT_GT(pipePath(kName).size(), 108u);
    PipeServer server;
    ASSERT_EQ(PipeServer::create(kName, 8, false, &server), kSuccess);
    PipeConnection client, peer;
    ASSERT_EQ(client.connect(kName), kSuccess);
    ASSERT_EQ(client.send("deep", 4), kSuccess);
    ASSERT_EQ(server.accept(&peer), kSuccess);
    uint32_t error = 0;
    EXPECT_EQ(receiveText(peer, &error), "deep");
}

}  // namespace
}  // namespace nvl::sys
