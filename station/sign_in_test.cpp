// The sign-in's rules in time, which the end-to-end tests can't wait for: a session's idle
// hour and its 12 hours, the lock-out's window and its end; and the password hash's form.
#include "station/password_hash.h"
#include "station/sessions.h"
#include "station/sign_in_lockout.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(Sessions, EndAfterAnIdleHourOrTwelveHoursWhateverTheUse) {
    CSessions sessions;
    const auto start = CSessions::Clock::now();
    const std::string id = sessions.Begin("bob", start);
    ASSERT_EQ(id.size(), 64u);
    EXPECT_NE(sessions.Begin("bob", start), id);
    // Used every 50 minutes it lives on, to its twelfth hour and no longer.
    auto now = start;
    for (; now + 50min < start + 12h; now += 50min) {
        EXPECT_EQ(sessions.Find(id, now), "bob") << (now - start) / 1min;
    }
    EXPECT_FALSE(sessions.Find(id, start + 12h));
    // An hour without a request ends it; a signed-out one is gone at once.
    const std::string idle = sessions.Begin("anna", start);
    EXPECT_EQ(sessions.Find(idle, start + 59min), "anna");
    EXPECT_FALSE(sessions.Find(idle, start + 59min + 1h));
    const std::string ended = sessions.Begin("carol", start);
    sessions.End(ended);
    EXPECT_FALSE(sessions.Find(ended, start));
    EXPECT_FALSE(sessions.Find("", start));
}

TEST(SignInLockout, FiveFailuresWithinTheWindowLockTheNameForFiveMinutes) {
    CSignInLockout lockout;
    const auto start = CSignInLockout::Clock::now();
    // Four failures, then the window passes: the count starts again.
    for (int i = 0; i < 4; ++i) {
        lockout.Failed("bob", start + i * 1s);
    }
    auto later = start + 5min + 1s;
    for (int i = 0; i < 4; ++i) {
        lockout.Failed("bob", later);
    }
    EXPECT_FALSE(lockout.Locked("bob", later));
    lockout.Failed("bob", later);
    EXPECT_TRUE(lockout.Locked("bob", later));
    EXPECT_FALSE(lockout.Locked("anna", later));
    EXPECT_TRUE(lockout.Locked("bob", later + 4min + 59s));
    EXPECT_FALSE(lockout.Locked("bob", later + 5min));
    // A success clears the count.
    for (int i = 0; i < 4; ++i) {
        lockout.Failed("anna", start);
    }
    lockout.Succeeded("anna");
    lockout.Failed("anna", start);
    EXPECT_FALSE(lockout.Locked("anna", start));
}

TEST(PasswordHash, SaltedSlowAndCheckedWhole) {
    const std::string hash = HashPassword("2468");
    EXPECT_EQ(hash.rfind("pbkdf2-sha256$600000$", 0), 0u) << hash;
    EXPECT_NE(HashPassword("2468"), hash);  // another salt
    EXPECT_TRUE(VerifyPassword("2468", hash));
    EXPECT_FALSE(VerifyPassword("2469", hash));
    EXPECT_FALSE(VerifyPassword("", hash));
    // Fewer iterations, a cut hash, another scheme: none is a hash the station takes.
    std::string fewer = hash;
    fewer.replace(14, 6, "100000");
    for (const std::string& bad :
         {fewer, hash.substr(0, hash.size() - 4), std::string("sha256$600000$abc$def"),
          std::string("2468"), hash + "$extra"}) {
        EXPECT_FALSE(IsPasswordHash(bad)) << bad;
        EXPECT_FALSE(VerifyPassword("2468", bad)) << bad;
    }
}
