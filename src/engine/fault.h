// Internal faults of the engine.
//
// The engine reports the few failures it has (a threshold outside 0..1, an undecodable
// state) by throwing Fault. The binding layer's entry guard turns it into the Python
// PanicException carrying what(), after printing where it was raised; nothing else in
// the engine throws on purpose.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace kwsieve {

class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& message,
                 std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

}  // namespace kwsieve
