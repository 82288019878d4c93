// Tables of records an entry must refuse: each row changes one or two fields of a good record to a
// bad value, and the entry must return KR_STATUS_INVALID_ARGUMENT without a message (and, as for a
// null record, launch nothing).
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "kr_omu.h"
#include "support/library.h"

namespace kr_test {

template <typename Record>
struct refusal {
  // {&Record::field, bad value, label}
  template <typename T, typename V>
  refusal(T Record::*field, V value, const char* label)
      : change([field, value](Record& r) { r.*field = static_cast<T>(value); }), what(label) {}
  // {&Record::field, bad value, &Record::other, its value, label}: two fields at once.
  template <typename T, typename V, typename U, typename W>
  refusal(T Record::*field, V value, U Record::*other, W other_value, const char* label)
      : change([=](Record& r) {
          r.*field = static_cast<T>(value);
          r.*other = static_cast<U>(other_value);
        }),
        what(label) {}

  std::function<void(Record&)> change;
  const char* what;
};

// Calls `entry` with `good` changed by each row, then with a null record; each call must be refused
// without a message.
template <typename Record, typename Entry>
void expect_refused(Entry entry, kr_omu_device* device, const Record& good,
                    std::initializer_list<refusal<Record>> rows) {
  for (const refusal<Record>& row : rows) {
    Record args = good;
    row.change(args);
    EXPECT_EQ(entry(device, nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << row.what;
    EXPECT_TRUE(messages().empty()) << row.what;
  }
  EXPECT_EQ(entry(device, nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT) << "null record";
  EXPECT_TRUE(messages().empty()) << "null record";
}

}  // namespace kr_test
