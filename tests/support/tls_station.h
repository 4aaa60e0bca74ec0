// What the TLS station (tls_station.py, started by CTest before the tests
// that need it) wrote into its state file: its ports, certificates and their
// fingerprints. The file is named by the environment variable
// DS_TLS_STATION. Free of any test framework.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

class tls_station {
public:
    tls_station()
    {
        const char *path = std::getenv("DS_TLS_STATION");
        if (!path || !*path) throw std::runtime_error("DS_TLS_STATION names no state file");
        std::ifstream in(path);
        if (!in) throw std::runtime_error(std::string("cannot read ") + path);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t space = line.find(' ');
            if (space != std::string::npos) values_[line.substr(0, space)] = line.substr(space + 1);
        }
    }

    // The 127.0.0.1 port of a scenario ("self_signed", "chain", "stall", ...).
    int port(const std::string &scenario) const { return std::stoi(value("port." + scenario)); }
    // The PEM file of a certificate ("ca", "self_signed", ...).
    std::string certificate(const std::string &name) const { return value("cert." + name); }
    // Its SHA-256 fingerprint as openssl prints it: "AB:CD:...".
    std::string fingerprint(const std::string &name) const { return value("fingerprint." + name); }
    // The same as 64 lower-case hex digits.
    std::string fingerprint_hex(const std::string &name) const
    {
        std::string hex;
        for (char c : fingerprint(name))
            if (c != ':') hex += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        return hex;
    }
    // A PEM file that holds no certificate.
    std::string empty_file() const { return value("empty_file"); }

private:
    std::string value(const std::string &name) const
    {
        auto found = values_.find(name);
        if (found == values_.end()) throw std::runtime_error("the TLS station's state has no " + name);
        return found->second;
    }

    std::map<std::string, std::string> values_;
};
