// The running test's name, "Suite.Case", for naming what it leaves on disk.
#ifndef TESTS_TEST_NAME_H
#define TESTS_TEST_NAME_H

#include <gtest/gtest.h>

#include <string>

inline std::string TestName()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

#endif
