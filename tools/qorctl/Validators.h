#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "net/MacAddress.h"
#include "net/Target.h"

namespace qor::cli {

// "00:1A:2B:3C:4D:5E" (or with '-'); anything else is a usage error. Name the option's value
// with type_name("MAC"): the validator adds no text of its own to --help.
inline CLI::Validator MacAddressValidator() {
  return CLI::Validator(
      [](std::string& text) {
        return MacAddress::Parse(text) ? std::string()
                                       : "not a MAC address such as 00:1A:2B:3C:4D:5E: " + text;
      },
      "");
}

// Dotted decimal such as 127.0.0.10; anything else is a usage error.
inline CLI::Validator Ipv4Validator() {
  return CLI::Validator(
      [](std::string& text) {
        return ParseIpAddress(text) ? std::string()
                                    : "not an IPv4 address such as 127.0.0.10: " + text;
      },
      "");
}

}  // namespace qor::cli
