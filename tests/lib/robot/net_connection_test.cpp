// SPDX-License-Identifier: MIT
// The network ports against a peer of ours on 127.0.0.1 playing the port
// server: the RFC 2217 client's negotiation, the line's settings and their
// confirmations, speed changes and purges, data with 0xFF both ways,
// servers that refuse, stay silent or confirm something else, the read
// deadline, a dropped connection; and the raw TCP bridge at its one speed.
#include "WaitFor.h"
#include "ZyNetConnection.h"
#include "ZyRfc2217Connection.h"
#include "ZySocketConnection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;
const uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253;

/// A port server with the com port option, written from the protocol and
/// sharing no code with the client: it offers BINARY and the com port
/// option, confirms speed, data size, parity, stop bits and purges (never
/// a control line, like a server in front of a pty), and records what it
/// was sent. raw: a plain TCP bridge that only records.
class PortServer {
public:
  struct Behaviour {
    bool raw = false;
    bool comPort = true;     ///< false: DONT COM-PORT-OPTION
    bool silent = false;     ///< says nothing at all
    uint32_t baudAnswer = 0; ///< confirm this speed instead of the one asked
    Bytes afterPurge;        ///< sent right after a purge's confirmation
    Bytes beforeSpeedReply;  ///< sent right before a speed's confirmation
    Bytes beforePurgeReply;  ///< sent right before a purge's confirmation
  };

  explicit PortServer(Behaviour behaviour) : myBehaviour(std::move(behaviour)) {
    myListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(myListener, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
        listen(myListener, 4) == 0 &&
        getsockname(myListener, reinterpret_cast<sockaddr *>(&address), &size) == 0)
      myPort = ntohs(address.sin_port);
    myThread = std::thread([this] { serve(); });
  }
  ~PortServer() {
    myStop = true;
    myThread.join();
    close(myListener);
  }

  std::string url(const std::string &scheme, const std::string &options = "") const {
    return scheme + "://127.0.0.1:" + std::to_string(myPort) + options;
  }
  /// Data bytes received, 0xFF undoubled (raw: every byte).
  Bytes data() {
    std::lock_guard<std::mutex> lock(myMutex);
    return myData;
  }
  /// Com port commands received: command byte and value.
  std::vector<Bytes> commands() {
    std::lock_guard<std::mutex> lock(myMutex);
    return myCommands;
  }
  /// Negotiation received, as pairs of command and option.
  std::vector<Bytes> options() {
    std::lock_guard<std::mutex> lock(myMutex);
    return myOptions;
  }
  void send(const Bytes &bytes) {
    std::lock_guard<std::mutex> lock(myMutex);
    if (myClient >= 0)
      ::send(myClient, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  /// Ends the connection, as a server that goes away does.
  void drop() {
    std::lock_guard<std::mutex> lock(myMutex);
    if (myClient >= 0)
      shutdown(myClient, SHUT_RDWR);
  }
  std::atomic<bool> confirming{true}; ///< false: confirms nothing from now on

private:
  void serve() {
    while (!myStop) {
      struct pollfd wait = {myListener, POLLIN, 0};
      if (poll(&wait, 1, 20) <= 0)
        continue;
      int client = accept4(myListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0)
        continue;
      {
        std::lock_guard<std::mutex> lock(myMutex);
        myClient = client;
      }
      if (!myBehaviour.raw && !myBehaviour.silent)
        send({IAC, WILL, 3, IAC, static_cast<uint8_t>(myBehaviour.comPort ? DO : 254), 44, IAC,
              WILL, 0, IAC, DO, 0});
      talk(client);
      std::lock_guard<std::mutex> lock(myMutex);
      close(client);
      myClient = -1;
    }
  }

  void talk(int client) {
    int state = 0; // 0 data, 1 after IAC, 2 option, 3 in SB, 4 IAC in SB
    uint8_t command = 0;
    Bytes sub;
    while (!myStop) {
      struct pollfd wait = {client, POLLIN, 0};
      if (poll(&wait, 1, 20) <= 0)
        continue;
      uint8_t in[512];
      ssize_t got = recv(client, in, sizeof in, 0);
      if (got <= 0)
        return;
      for (ssize_t i = 0; i < got; i++) {
        uint8_t b = in[i];
        std::lock_guard<std::mutex> lock(myMutex);
        if (myBehaviour.raw) {
          myData.push_back(b);
          continue;
        }
        if (state == 0) {
          if (b == IAC)
            state = 1;
          else
            myData.push_back(b);
        } else if (state == 1) {
          if (b == IAC) {
            myData.push_back(b);
            state = 0;
          } else if (b == SB) {
            sub.clear();
            state = 3;
          } else {
            command = b;
            state = b >= WILL ? 2 : 0;
          }
        } else if (state == 2) {
          myOptions.push_back({command, b});
          state = 0;
        } else if (state == 3) {
          if (b == IAC)
            state = 4;
          else
            sub.push_back(b);
        } else if (b == IAC) {
          sub.push_back(b);
          state = 3;
        } else {
          state = 0;
          if (sub.size() >= 2 && sub[0] == 44) {
            myCommands.push_back(Bytes(sub.begin() + 1, sub.end()));
            answer(client, Bytes(sub.begin() + 1, sub.end()));
          }
        }
      }
    }
  }

  /// The confirmation of a com port command, as a server sends it.
  void answer(int client, Bytes command) {
    uint8_t code = command[0];
    if (!confirming || code == 5 || code > 12 || (code > 4 && code != 12))
      return;
    if (code == 1 && myBehaviour.baudAnswer != 0)
      command = {1, static_cast<uint8_t>(myBehaviour.baudAnswer >> 24),
                 static_cast<uint8_t>(myBehaviour.baudAnswer >> 16),
                 static_cast<uint8_t>(myBehaviour.baudAnswer >> 8),
                 static_cast<uint8_t>(myBehaviour.baudAnswer)};
    Bytes reply = code == 1    ? myBehaviour.beforeSpeedReply
                  : code == 12 ? myBehaviour.beforePurgeReply
                               : Bytes();
    reply.insert(reply.end(), {IAC, SB, 44, static_cast<uint8_t>(code + 100)});
    for (size_t i = 1; i < command.size(); i++) {
      reply.push_back(command[i]);
      if (command[i] == IAC)
        reply.push_back(IAC);
    }
    reply.insert(reply.end(), {IAC, SE});
    if (code == 12)
      reply.insert(reply.end(), myBehaviour.afterPurge.begin(), myBehaviour.afterPurge.end());
    ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
  }

  Behaviour myBehaviour;
  int myListener = -1;
  int myPort = 0;
  int myClient = -1;
  std::atomic<bool> myStop{false};
  std::mutex myMutex;
  Bytes myData;
  std::vector<Bytes> myCommands;
  std::vector<Bytes> myOptions;
  std::thread myThread;
};

std::unique_ptr<ZyNetConnection> connectionTo(const std::string &url) {
  std::string error;
  auto connection = ZyNetConnection::create(url, &error);
  EXPECT_NE(connection, nullptr) << error;
  return connection;
}

long msSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}
} // namespace

TEST(Rfc2217Connection, AgreesTheOptionsAndSetsTheLineUpConfirmedOnOpen) {
  struct Case {
    const char *options;
    std::vector<Bytes> commands;
  } cases[] = {
      {"?timeout=2",
       {{1, 0, 0, 0x25, 0x80}, {2, 8}, {3, 1}, {4, 1}, {5, 1}, {5, 8}, {5, 11}, {12, 3}}},
      {"?timeout=2&ign_set_control", {{1, 0, 0, 0x25, 0x80}, {2, 8}, {3, 1}, {4, 1}, {12, 3}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options);
    PortServer server({});
    auto port = connectionTo(server.url("rfc2217", c.options));
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->canChangeBaud());
    ASSERT_TRUE(port->openDefault()) << port->openFailureDetail();
    EXPECT_EQ(port->status(), ZyDeviceConnection::STATUS_OPEN);
    EXPECT_EQ(port->address(), "127.0.0.1");
    // Control lines are never confirmed by this server: the open went on.
    EXPECT_EQ(server.commands(), c.commands);
    std::vector<Bytes> asked = {{WILL, 44}, {WILL, 0}, {WILL, 3}, {DO, 0}, {DO, 3}};
    auto options = server.options();
    for (const Bytes &option : asked)
      EXPECT_NE(std::find(options.begin(), options.end(), option), options.end())
          << int(option[0]) << " " << int(option[1]);
  }
}

TEST(Rfc2217Connection, CarriesEveryByteValueBothWaysAndAnswersNegotiationOnTheWay) {
  PortServer server({});
  auto port = connectionTo(server.url("rfc2217", "?timeout=2"));
  ASSERT_TRUE(port->openDefault()) << port->openFailureDetail();
  Bytes all;
  for (int i = 0; i < 256; i++)
    all.push_back(static_cast<uint8_t>(i));
  all.insert(all.end(), {0xFF, 0xFF, 0xFF});
  ASSERT_EQ(port->write(reinterpret_cast<const char *>(all.data()), all.size()),
            static_cast<int>(all.size()));
  ASSERT_TRUE(waitFor([&] { return server.data().size() >= all.size(); }));
  EXPECT_EQ(server.data(), all);

  // Data with a doubled 0xFF, a modem state notice and an offer to echo
  // in between: the data arrives whole, the echo is refused.
  server.send({0x41, IAC, IAC, IAC, SB, 44, 107, 0x30, IAC, SE, 0x42, IAC, WILL, 1, 0x43});
  char got[8] = {};
  ASSERT_EQ(port->read(got, 4, 2000), 4);
  EXPECT_EQ(Bytes(got, got + 4), Bytes({0x41, 0xFF, 0x42, 0x43}));
  ASSERT_TRUE(waitFor([&] {
    auto options = server.options();
    return std::find(options.begin(), options.end(), Bytes({254, 1})) != options.end();
  }));
}

TEST(Rfc2217Connection, ChangesSpeedOnlyWhenTheServerConfirmsItAndDropsTheOldInput) {
  {
    // A confirmed change: then the server's receive buffer is purged, the
    // input before the confirmation dropped and the input after it kept.
    PortServer::Behaviour behaviour;
    behaviour.beforeSpeedReply = {0x11, 0x22};
    behaviour.afterPurge = {0x55, 0x66};
    PortServer server(behaviour);
    auto port = connectionTo(server.url("rfc2217", "?timeout=2"));
    ASSERT_TRUE(port->openDefault()) << port->openFailureDetail();
    EXPECT_TRUE(port->setBaud(115200));
    EXPECT_EQ(port->baudRate(), 115200);
    char got[8] = {};
    EXPECT_EQ(port->read(got, 8, 300), 2);
    EXPECT_EQ(Bytes(got, got + 2), Bytes({0x55, 0x66}));
    auto commands = server.commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], Bytes({1, 0x00, 0x01, 0xC2, 0x00}));
    EXPECT_EQ(commands.back(), Bytes({12, 1}));
  }
  {
    // Dropping the input does not wait for the purge's confirmation: the
    // reads drop what the server sends before it and keep what follows,
    // however the bytes are cut on their way.
    PortServer::Behaviour behaviour;
    behaviour.beforePurgeReply = {0x01, 0xFF, 0xFF, 0x02};
    behaviour.afterPurge = {0x33};
    PortServer server(behaviour);
    auto port = connectionTo(server.url("rfc2217", "?timeout=2"));
    ASSERT_TRUE(port->openDefault()) << port->openFailureDetail();
    char got[8] = {};
    EXPECT_EQ(port->read(got, 8, 300), 1); // what followed the open's purge
    port->discardInput();
    EXPECT_EQ(port->read(got, 8, 300), 1);
    EXPECT_EQ(got[0], 0x33);
    EXPECT_EQ(server.commands().back(), Bytes({12, 1}));
  }
  {
    // The server settles on another speed than asked for.
    PortServer::Behaviour behaviour;
    PortServer server(behaviour);
    auto port = connectionTo(server.url("rfc2217", "?timeout=2"));
    ASSERT_TRUE(port->openDefault());
    behaviour.baudAnswer = 57600;
    PortServer other(behaviour);
    auto refused = connectionTo(other.url("rfc2217", "?timeout=2"));
    // The open asks for 9600 too, which this server answers with 57600.
    EXPECT_FALSE(refused->openDefault());
    EXPECT_EQ(refused->openFailure(), ZyNetStream::FAILURE_PROTOCOL);
    EXPECT_NE(refused->openFailureDetail().find("set another speed than asked for (57600 "
                                                "instead of 9600)"),
              std::string::npos)
        << refused->openFailureDetail();
    // No confirmation at all: false within the timeout, the port still open.
    server.confirming = false;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->setBaud(38400));
    EXPECT_LT(msSince(start), 4000);
    EXPECT_EQ(port->status(), ZyDeviceConnection::STATUS_OPEN);
  }
}

TEST(Rfc2217Connection, RefusesAServerThatIsNoComPortServerNamingIt) {
  struct Case {
    const char *what;
    PortServer::Behaviour behaviour;
    ZyNetStream::Failure failure;
    const char *detail;
  } cases[] = {
      {"refuses the option",
       {false, false, false, 0, {}, {}, {}},
       ZyNetStream::FAILURE_PROTOCOL,
       "refuses the com port option: it is no RFC 2217 port (for a raw TCP port use socket://)"},
      {"says nothing",
       {false, true, true, 0, {}, {}, {}},
       ZyNetStream::FAILURE_PROTOCOL,
       "did not agree to the com port option within 0.400 s"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    PortServer server(c.behaviour);
    auto port = connectionTo(server.url("rfc2217", "?timeout=0.4"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port->openDefault());
    EXPECT_LT(msSince(start), 3000);
    EXPECT_TRUE(port->openFailureIsFinal());
    EXPECT_EQ(port->openFailure(), c.failure);
    EXPECT_NE(port->openFailureDetail().find("the server at 127.0.0.1 port "), std::string::npos)
        << port->openFailureDetail();
    EXPECT_NE(port->openFailureDetail().find(c.detail), std::string::npos)
        << port->openFailureDetail();
    EXPECT_EQ(port->read(nullptr, 0, 0), -1);
  }
  // Nothing listening: refused at once.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), size), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size), 0);
  close(probe); // a port nobody listens on
  auto port = connectionTo("rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
  EXPECT_FALSE(port->openDefault());
  EXPECT_EQ(port->openFailure(), ZyNetStream::FAILURE_REFUSED);
}

TEST(Rfc2217Connection, KeepsTheReadDeadlineAndEndsLikeAVanishedPortWhenDropped) {
  PortServer server({});
  auto port = connectionTo(server.url("rfc2217", "?timeout=2"));
  ASSERT_TRUE(port->openDefault());
  char got[16];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port->read(got, sizeof got, 300), 0);
  long took = msSince(start);
  EXPECT_GE(took, 280);
  EXPECT_LT(took, 3000);
  EXPECT_EQ(port->read(got, sizeof got, 0), 0); // a poll returns at once

  server.send({0x31, 0x32});
  server.drop();
  // What came before the drop is read; then the connection is gone.
  EXPECT_EQ(port->read(got, sizeof got, 2000), 2);
  EXPECT_EQ(port->status(), ZyDeviceConnection::STATUS_CLOSED_ERROR);
  EXPECT_EQ(port->read(got, sizeof got, 100), -1);
  EXPECT_EQ(port->write("FK", 2), -1);
  // It opens again when the server is back.
  EXPECT_TRUE(port->openDefault()) << port->openFailureDetail();
  EXPECT_EQ(port->write("FK", 2), 2);
}

TEST(SocketConnection, CarriesBytesAsTheyAreAtItsOneSpeed) {
  PortServer::Behaviour behaviour;
  behaviour.raw = true;
  PortServer server(behaviour);
  auto port = connectionTo(server.url("socket", "?baud=38400"));
  EXPECT_FALSE(port->canChangeBaud());
  EXPECT_TRUE(port->hasLineSpeed());
  EXPECT_TRUE(port->setBaud(38400));
  EXPECT_FALSE(port->setBaud(9600));
  EXPECT_FALSE(port->setBaud(115200));
  ASSERT_TRUE(port->openDefault()) << port->openFailureDetail();
  const char bytes[] = {'\x24', '\xFF', '\x00', '\xFF'};
  ASSERT_EQ(port->write(bytes, 4), 4);
  ASSERT_TRUE(waitFor([&] { return server.data().size() >= 4; }));
  EXPECT_EQ(server.data(), Bytes({0x24, 0xFF, 0x00, 0xFF}));
  server.send({0xFF, 0x01, 0xFF});
  char got[4];
  ASSERT_EQ(port->read(got, 3, 2000), 3);
  EXPECT_EQ(Bytes(got, got + 3), Bytes({0xFF, 0x01, 0xFF}));
}
