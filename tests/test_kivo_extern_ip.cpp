// Discovery over real HTTP and HTTPS against the echo stand-ins, in a private
// network namespace where the five echo hosts are 127.0.0.1.
#include "kivo_extern_ip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ddns_standin.h"

namespace {

class ExternIp : public ::testing::Test {
protected:
    void start(const std::string &control)
    {
        ASSERT_EQ(0, ddns_world_enter(world_, "[]", control));
    }
    void TearDown() override { ddns_world_leave(world_); }

    // One discovery with what it printed as the result.
    std::string get(char *field, const char *nic = "")
    {
        testing::internal::CaptureStdout();
        kivo_extern_ip_get(field, nic);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    std::vector<std::string> hosts_asked()
    {
        std::vector<std::string> hosts;
        for (const ddns_request &r : ddns_world_requests(world_))
            hosts.push_back(r.host + r.path);
        return hosts;
    }

    ddns_world world_;
};

TEST_F(ExternIp, FirstSourceAnsweringEndsTheSearch)
{
    start("{\"address\":\"203.0.113.7\"}");
    char field[KIVO_EXTERN_IP_SIZE] = "1.2.3.4";
    std::string out = get(field);
    EXPECT_STREQ("203.0.113.7", field);
    EXPECT_EQ("ret == 200, buffer: |203.0.113.7\n|\n"
              "http://members.3322.org/dyndns/getip, raw, extern_ip: |203.0.113.7|\n",
              out);
    EXPECT_EQ(std::vector<std::string>{"members.3322.org/dyndns/getip"}, hosts_asked());
}

TEST_F(ExternIp, FailingSourcesAreSkippedInOrder)
{
    // A dropped connection, a plain answer that keeps its carriage return, an
    // HTML page served with 200 and an error status: the last source answers.
    start("{\"address\":\"198.51.100.4\",\"echo\":{\"members.3322.org\":\"drop\","
          "\"icanhazip.com\":\"body:198.51.100.4\\r\\n\",\"api.ipify.org\":\"html\","
          "\"ipinfo.io\":\"status:503\"}}");
    char field[KIVO_EXTERN_IP_SIZE] = "";
    std::string out = get(field);
    EXPECT_STREQ("198.51.100.4", field);
    EXPECT_EQ((std::vector<std::string>{"members.3322.org/dyndns/getip", "icanhazip.com/",
                                        "api.ipify.org/?format=json", "ipinfo.io/json",
                                        "ifconfig.co/json"}),
              hosts_asked());
    EXPECT_NE(std::string::npos, out.find("ret == 0, buffer: ||\n")) << out;
    EXPECT_NE(std::string::npos, out.find("ret == 503, buffer: |<html>")) << out;
    EXPECT_NE(std::string::npos, out.find("http://ifconfig.co/json, json, xml, extern_ip: "
                                          "198.51.100.4$$\n"))
        << out;
}

TEST_F(ExternIp, WhenAllFailTheFieldKeepsAnAddressOrBecomesNone)
{
    start("{\"echo\":{\"members.3322.org\":\"empty\",\"icanhazip.com\":\"drop\","
          "\"api.ipify.org\":\"body:{\\\"ip\\\":\\\"0.0.0.0\\\"}\",\"ipinfo.io\":\"status:429\","
          "\"ifconfig.co\":\"body:{\\\"ip\\\":\\\"2001:db8::7\\\"}\"}}");
    char field[KIVO_EXTERN_IP_SIZE] = "192.0.2.8";
    std::string out = get(field);
    EXPECT_STREQ("192.0.2.8", field); // the --extern_ip value or the last pass's address
    EXPECT_EQ(5u, hosts_asked().size());
    EXPECT_EQ(std::string::npos, out.find("extern_ip:")) << out;

    char short_field[KIVO_EXTERN_IP_SIZE] = "1.2.3";
    get(short_field);
    EXPECT_STREQ("0.0.0.0", short_field);
}

TEST_F(ExternIp, NicBindsEveryRequest)
{
    start("{\"address\":\"203.0.113.9\"}");
    char field[KIVO_EXTERN_IP_SIZE] = "";
    std::string out = get(field, "ppp0"); // no such link here: nothing gets out
    EXPECT_STREQ("0.0.0.0", field);
    EXPECT_TRUE(hosts_asked().empty());
    EXPECT_EQ(5u, static_cast<size_t>(std::count(out.begin(), out.end(), '\n'))) << out;

    get(field, "lo"); // bound to the link the stand-ins listen on
    EXPECT_STREQ("203.0.113.9", field);
    EXPECT_EQ(1u, hosts_asked().size());
}

} // namespace
