// The router's answer to our SSDP search: its LOCATION, only on the gateway itself.

#include "portmap/ssdp.h"
#include "support.h"

namespace {

constexpr std::uint32_t kGateway = 0xC0000201;  // 192.0.2.1

TEST(Ssdp, TheLocationAndEveryHostileTwin) {
    const std::string url = "http://192.0.2.1:5000/rootDesc.xml", longest = url + std::string(kLocationSize - 1 - url.size(), 'a');
    const auto answer = [](const std::string& header, const std::string& value) {
        return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n" + header + value + "\r\nST: x\r\n\r\n";
    };
    const struct { const char* name; std::string m; const char* location; } rows[] = {
        {"an answer", answer("LOCATION: ", url), url.c_str()}, {"not a 200", "HTTP/1.1 404 Not Found\r\nLOCATION: " + url + "\r\n", nullptr},
        {"the header in lower case, no blank, the last", "HTTP/1.1 200 OK\r\nlocation:" + url, url.c_str()}, {"cut in the status", "HTTP/1.1 2", nullptr},
        {"a path without a port", answer("Location:  ", "http://192.0.2.1/d.xml \t"), "http://192.0.2.1/d.xml"},
        {"a notification", "NOTIFY * HTTP/1.1\r\nLOCATION: " + url + "\r\n", nullptr}, {"no location", answer("SERVER: ", url), nullptr},
        {"another host", answer("LOCATION: ", "http://198.51.100.66:5000/d.xml"), nullptr}, {"an empty location", answer("LOCATION:", ""), nullptr},
        {"a longer address that begins alike", answer("LOCATION: ", "http://192.0.2.10:5000/d.xml"), nullptr},
        {"a name that begins with the address", answer("LOCATION: ", "http://192.0.2.1.example:80/"), nullptr},
        {"https", answer("LOCATION: ", "https://192.0.2.1:5000/"), nullptr}, {"a blank inside", answer("LOCATION: ", "http://192.0.2.1:5000/a b"), nullptr},
        {"the longest that fits", answer("LOCATION: ", longest), longest.c_str()}, {"a byte longer", answer("LOCATION: ", longest + "a"), nullptr},
        {"a control byte inside", answer("LOCATION: ", "http://192.0.2.1:5000/a\x01" "b"), nullptr}, {"cut before the header ends", "HTTP/1.1 200 OK\r\nLOCAT", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        char location[kLocationSize] = "untouched";
        EXPECT_EQ(ssdp_location(row.m.data(), row.m.size(), kGateway, location), row.location != nullptr);
        EXPECT_STREQ(location, row.location != nullptr ? row.location : "untouched");
    }
}

// Our search, addressed to the gateway itself; none where it would not fit whole.
TEST(Ssdp, TheSearchWholeOrNone) {
    char out[256];
    const std::size_t n = ssdp_search(out, sizeof out, kGateway);
    EXPECT_EQ(std::string(out, n), "M-SEARCH * HTTP/1.1\r\nHOST: 192.0.2.1:1900\r\nMAN: \"ssdp:discover\"\r\n"
                                   "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n");
    EXPECT_EQ(ssdp_search(out, n, kGateway), 0u);
}

}  // namespace
