#pragma once
// Who may read the console and who may change the server through it, decided from
// what the request carries alone.
#include <string>

namespace lindra::web {

struct RequestFacts {
  bool change = false;        // a POST
  std::string peer;           // the peer's address as the server sees it
  std::string authorization;  // the Authorization header, "" when none
  std::string origin;         // the Origin header, "" when none
  std::string host;           // the Host header
};

// "" when the request may go on, else why not (the 401's text).
std::string RefusalOf(const RequestFacts& request, const std::string& token);

// 127.0.0.0/8 and ::1 (also as an IPv4-mapped address).
bool IsLoopbackPeer(const std::string& address);
// A loopback peer that asked for a loopback name: who may read without the token, and
// gets it in the page. A page of another site whose name was pointed at 127.0.0.1
// asks for that site's name, and is not one.
bool IsLocalReader(const RequestFacts& request);

}  // namespace lindra::web
