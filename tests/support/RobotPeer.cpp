// SPDX-License-Identifier: MIT
// The controller's end of a robot packet line for tests: framing, the
// identity and CONFIG packets, and the peer thread.
#include "RobotPeer.h"

#include <poll.h>
#include <unistd.h>
#include <utility>

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string frame(int id, const std::string &data) {
  std::string body;
  body.push_back(static_cast<char>(id));
  body += data;
  unsigned sum = 0;
  size_t i = 0;
  for (; i + 1 < body.size(); i += 2)
    sum = (sum +
           ((static_cast<unsigned char>(body[i]) << 8) | static_cast<unsigned char>(body[i + 1]))) &
          0xffff;
  if (i < body.size())
    sum ^= static_cast<unsigned char>(body[i]);
  std::string out = "\xFA\xFB";
  out.push_back(static_cast<char>(body.size() + 2));
  out += body;
  out.push_back(static_cast<char>((sum >> 8) & 0xff));
  out.push_back(static_cast<char>(sum & 0xff));
  return out;
}

std::string text(const std::string &s) {
  return s + std::string(1, '\0');
}

std::string u16(int v) {
  std::string out;
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>((v >> 8) & 0xff));
  return out;
}

std::string u8(int v) {
  return std::string(1, static_cast<char>(v));
}

std::string sync2Reply(const std::string &name, const std::string &type,
                       const std::string &subtype) {
  return frame(2, text(name) + text(type) + text(subtype));
}

std::string configPacket(int resetBaud) {
  std::string d;
  d += text("Marlock") + text("compact") + text("SN-0042");
  d += u8(0);
  d += u16(300) + u16(1800) + u16(600) + u16(1500) + u16(900); // tops, PWMMax
  d += text("Bobby");
  d += u8(10) + u8(0) + u8(2);                                // SipCycle, HostBaud, Aux1
  d += u16(1) + u16(1) + u8(0);                               // gripper, front, rear sonar
  d += u16(7) + u16(16384) + u16(5000) + u8(1);               // kept, RevCount, Watchdog, NMP
  d += u16(200) + u16(3) + u16(250) + u16(40);                // stall, joy
  d += u16(250) + u16(1200) + u16(100) + u16(110);            // RotVelMax .. RotDecel
  d += u16(40) + u16(20) + u16(1) + u16(300) + u16(310);      // rot PID, TransAccel/Decel
  d += u16(35) + u16(22) + u16(2);                            // trans PID
  d += u8(5) + u8(1) + u8(1) + u8(1) + u8(resetBaud) + u8(1); // bumps .. gyro
  d += u16(4) + u8(0) + u8(1) + u16(128) + u16(118);
  return frame(32, d);
}

Peer::Peer(PtyPair &pty, Responder responder, Ticker ticker)
    : myPty(pty), myResponder(std::move(responder)), myTicker(std::move(ticker)) {
  myStart = Clock::now();
  myThread = std::thread([this] { run(); });
}

Peer::~Peer() {
  stop();
}

void Peer::stop() {
  myStop = true;
  if (myThread.joinable())
    myThread.join();
}

std::vector<Packet> Peer::packets() {
  std::lock_guard<std::mutex> g(myMutex);
  return myPackets;
}

std::vector<int> Peer::ids() {
  std::vector<int> out;
  for (const Packet &p : packets())
    out.push_back(p.id);
  return out;
}

std::string Peer::raw() {
  std::lock_guard<std::mutex> g(myMutex);
  return myRaw;
}

size_t Peer::rawSize() {
  return raw().size();
}

long Peer::now() const {
  return msSince(myStart);
}

void Peer::run() {
  std::string pending;
  while (!myStop) {
    if (myTicker) {
      std::string unasked = myTicker(msSince(myStart));
      if (!unasked.empty())
        myPty.write(unasked);
    }
    struct pollfd pfd = {myPty.master(), POLLIN, 0};
    if (poll(&pfd, 1, 10) <= 0)
      continue;
    char buf[512];
    ssize_t n = ::read(myPty.master(), buf, sizeof buf);
    if (n <= 0)
      continue;
    {
      std::lock_guard<std::mutex> g(myMutex);
      myRaw.append(buf, static_cast<size_t>(n));
    }
    pending.append(buf, static_cast<size_t>(n));
    for (;;) {
      size_t start = pending.find("\xFA\xFB");
      if (start == std::string::npos) {
        // Keep a trailing FA that may begin a packet.
        pending = !pending.empty() && pending.back() == '\xFA' ? "\xFA" : "";
        break;
      }
      pending.erase(0, start);
      if (pending.size() < 3)
        break;
      size_t count = static_cast<unsigned char>(pending[2]);
      if (pending.size() < count + 3)
        break;
      Packet p;
      p.id = static_cast<unsigned char>(pending[3]);
      p.data = pending.substr(4, count - 3);
      p.atMs = msSince(myStart);
      pending.erase(0, count + 3);
      {
        std::lock_guard<std::mutex> g(myMutex);
        myPackets.push_back(p);
      }
      std::string reply = myResponder(p);
      if (!reply.empty())
        myPty.write(reply);
    }
  }
}

Peer::Responder syncingController(const std::string &name, const std::string &type,
                                  const std::string &subtype, std::string config) {
  return [=](const Packet &p) -> std::string {
    if (p.data.empty() && (p.id == 0 || p.id == 1))
      return frame(p.id);
    if (p.data.empty() && p.id == 2)
      return sync2Reply(name, type, subtype);
    if (p.id == 18 && !config.empty())
      return config;
    return "";
  };
}
