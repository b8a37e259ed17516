// The web server's login throttle and sessions on injected times: the
// limits written here apart from the product's (5 failures a minute, a
// 60 s block with one try in 10 s, 64 addresses, two checks a second with a
// burst of ten, 12 h idle, 7 days in all).
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "web/client_address.h"
#include "web/sessions.h"

namespace {

const uint64_t T0 = 5000000; // a monotonic clock is well past zero
const uint64_t S = 1000;

const char* const CHECK_NAMES[] = {"blocked", "busy", "checked", "blocked-check"};

std::string Key(const char* text) {
    struct sockaddr_storage address;
    char key[CLIENT_KEY_LEN];
    ClientAddressKey(ParseNumericAddress(text, strlen(text), &address)
                         ? reinterpret_cast<const struct sockaddr*>(&address)
                         : nullptr,
                     key, sizeof key);
    return key;
}

TEST(ClientAddress, KeysAndForwardedAddresses) {
    const struct {
        const char* address;
        const char* key;
    } keys[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"192.0.2.7:80", "?"},
    };
    for (const auto& c : keys) {
        EXPECT_EQ(Key(c.address), c.key) << c.address;
    }
    const struct {
        const char* header;
        const char* key; // "?": not taken
    } forwarded[] = {
        {"203.0.113.5, 192.0.2.9", "192.0.2.9"},
        {" 2001:db8::1 ", "2001:db8::/64"},
        {"192.0.2.9, unknown", "?"},
        {"[2001:db8::1]:443", "?"},
        {"192.0.2.9,", "?"},
        {"", "?"},
    };
    for (const auto& c : forwarded) {
        struct sockaddr_storage address;
        char key[CLIENT_KEY_LEN] = "?";
        if (LastForwardedAddress(c.header, &address)) {
            ClientAddressKey(reinterpret_cast<const struct sockaddr*>(&address), key, sizeof key);
        }
        EXPECT_STREQ(key, c.key) << "X-Forwarded-For: " << c.header;
    }
    TrustedProxies proxies = {};
    ASSERT_TRUE(ParseNumericAddress("127.0.0.1", 9, &proxies.addresses[proxies.count++]));
    const struct {
        const char* address;
        bool trusted;
    } connections[] = {{"::ffff:127.0.0.1", true}, {"127.0.0.2", false}, {"::1", false}};
    for (const auto& c : connections) {
        struct sockaddr_storage address;
        ASSERT_TRUE(ParseNumericAddress(c.address, strlen(c.address), &address));
        EXPECT_EQ(IsTrustedProxy(&proxies, reinterpret_cast<const struct sockaddr*>(&address)),
                  c.trusted)
            << c.address;
    }
}

// One login try from an address, at a time after T0; expected is how it is
// let through, said whether the log hears of its refusal.
struct Step {
    std::string address;
    uint64_t atMs;
    bool right;
    LoginCheck expected;
    bool said;
};

void Add(std::vector<Step>* steps, const std::string& address, int count, uint64_t atMs,
         uint64_t everyMs, LoginCheck expected) {
    for (int i = 0; i < count; ++i) {
        steps->push_back({address, atMs + (uint64_t)i * everyMs, false, expected, false});
    }
}

std::string Numbered(const char* prefix, int i) {
    return prefix + std::to_string(i);
}

struct Scenario {
    const char* what;
    bool refill; // the server's checks refilled before each try: only the table limits
    std::vector<Step> steps;
};

Scenario BlockedSurvives() {
    Scenario s = {"a blocked address survives 64 others' failures", false, {}};
    Add(&s.steps, "127.0.0.2", 5, 0, S, LOGIN_CHECKED);
    for (int i = 1; i <= 64; ++i) {
        Add(&s.steps, Numbered("127.0.1.", i), 1, 5 * S, 0, LOGIN_CHECKED);
    }
    s.steps.push_back({"127.0.0.2", 6 * S, true, LOGIN_BLOCKED, true});
    return s;
}

Scenario OneSlash64() {
    Scenario s = {"two addresses of one /64 share a count", false, {}};
    Add(&s.steps, "2001:db8:1:2::a", 3, 0, S, LOGIN_CHECKED);
    Add(&s.steps, "2001:db8:1:2:ffff::b", 2, 3 * S, S, LOGIN_CHECKED);
    s.steps.push_back({"2001:db8:1:2::c", 6 * S, true, LOGIN_BLOCKED, true});
    s.steps.push_back({"2001:db8:1:3::a", 6 * S, true, LOGIN_CHECKED, false});
    return s;
}

Scenario FullTable() {
    Scenario s = {"with every slot blocked, new addresses share one count", true, {}};
    for (int i = 0; i < 64; ++i) {
        Add(&s.steps, Numbered("10.0.0.", i), 5, 0, 0, LOGIN_CHECKED);
    }
    for (int i = 0; i < 5; ++i) {
        Add(&s.steps, Numbered("10.1.0.", i), 1, S, 0, LOGIN_CHECKED);
    }
    s.steps.push_back({"10.1.0.9", S, true, LOGIN_BLOCKED, true});
    s.steps.push_back({"10.0.0.0", S, true, LOGIN_BLOCKED, true});
    return s;
}

Scenario SpacedTries() {
    Scenario s = {"a blocked address has one try checked in 10 s", false, {}};
    Add(&s.steps, "192.0.2.1", 5, 0, S, LOGIN_CHECKED); // blocked at 4 s
    s.steps.push_back({"192.0.2.1", 5 * S, true, LOGIN_BLOCKED, true});
    // The wrong try at 62 s holds the block past 64 s, though four of the
    // five failures are a minute old.
    s.steps.push_back({"192.0.2.1", 62 * S, false, LOGIN_BLOCKED_CHECK, false});
    s.steps.push_back({"192.0.2.1", 63 * S, true, LOGIN_BLOCKED, false});
    s.steps.push_back({"192.0.2.1", 72 * S, true, LOGIN_BLOCKED_CHECK, false});
    s.steps.push_back({"192.0.2.1", 73 * S, true, LOGIN_BLOCKED, false});
    return s;
}

Scenario ChecksCapped() {
    Scenario s = {"two checks a second, a burst of ten; a clean address always checked", false, {}};
    for (int i = 1; i <= 12; ++i) {
        Add(&s.steps, Numbered("198.51.100.", i), 1, 0, 0, LOGIN_CHECKED); // clean: no check spent
    }
    for (int i = 1; i <= 10; ++i) {
        Add(&s.steps, Numbered("198.51.100.", i), 1, 0, 0, LOGIN_CHECKED);
    }
    s.steps.push_back({"198.51.100.11", 0, false, LOGIN_BUSY, true});
    s.steps.push_back({"198.51.100.11", 0, false, LOGIN_BUSY, false});
    s.steps.push_back({"198.51.100.99", 0, true, LOGIN_CHECKED, false});
    s.steps.push_back({"198.51.100.11", 500, false, LOGIN_CHECKED, false});
    s.steps.push_back({"198.51.100.12", 500, false, LOGIN_BUSY, true});
    s.steps.push_back({"198.51.100.12", 1000, false, LOGIN_CHECKED, false});
    return s;
}

TEST(LoginThrottle, Scenarios) {
    for (const Scenario& scenario :
         {BlockedSurvives(), OneSlash64(), FullTable(), SpacedTries(), ChecksCapped()}) {
        auto tables = std::make_unique<AccessTables>();
        for (size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            if (scenario.refill) {
                tables->checksFullMs = 0;
            }
            LoginTry attempt;
            BeginLogin(tables.get(), Key(step.address.c_str()).c_str(), T0 + step.atMs, &attempt);
            if (attempt.check == LOGIN_CHECKED || attempt.check == LOGIN_BLOCKED_CHECK) {
                EndLogin(tables.get(), &attempt, step.right, T0 + step.atMs);
            }
            EXPECT_EQ(CHECK_NAMES[attempt.check], std::string(CHECK_NAMES[step.expected]))
                << scenario.what << ": step " << i << ", " << step.address << " at " << step.atMs
                << " ms";
            EXPECT_EQ(attempt.sayRefused, step.said)
                << scenario.what << ": step " << i << " logged its refusal";
        }
    }
}

TEST(Sessions, EndIdleOrSevenDaysAfterLogin) {
    const uint64_t hourMs = 3600 * S;
    const struct {
        const char* what;
        bool (*check)(AccessTables*, const char*, uint64_t);
        uint64_t everyMs, endsMs;
    } cases[] = {
        {"kept by an event stream's check alone", SessionLive, 60 * S, 12 * hourMs},
        {"used every hour", UseSession, hourMs, 7 * 24 * hourMs},
    };
    for (const auto& c : cases) {
        auto tables = std::make_unique<AccessTables>();
        char token[SESSION_TEXT_LEN];
        ASSERT_TRUE(OpenSession(tables.get(), T0, token));
        for (uint64_t t = c.everyMs; t < c.endsMs; t += c.everyMs) {
            ASSERT_TRUE(c.check(tables.get(), token, T0 + t)) << c.what << ": ended at " << t;
        }
        EXPECT_FALSE(c.check(tables.get(), token, T0 + c.endsMs))
            << c.what << ": live " << c.endsMs << " ms after the login";
    }
}

} // namespace
