#pragma once
// A transport decorator that records every request and answers chosen record
// classes with faults: a status, no response, a record of another class, or a
// record the test builds. Thread-safe.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zu/cds/Transport.h"

namespace zu {
namespace testing {

class FaultInjectingTransport : public cds::Transport, public std::enable_shared_from_this<FaultInjectingTransport> {
 public:
  using Builder = std::function<std::shared_ptr<cds::CRequestResponse>(const cds::CRequestResponse& request)>;

  explicit FaultInjectingTransport(std::shared_ptr<cds::Transport> inner);

  std::shared_ptr<cds::Session> open(const std::string& client_name, cds::NotificationSink sink) override;
  std::string endpoint() const override;

  // Faults apply to requests of class `class_name` (e.g. "CGetDevice"), to the
  // next `times` of them (0: until cleared). The newest fault of a class wins.
  // The store's own answer with `status` in place of its status.
  void fail_with_status(const std::string& class_name, std::uint32_t status, std::size_t times = 0);
  // No response at all; the request does not reach the store.
  void drop_response(const std::string& class_name, std::size_t times = 0);
  // A successful record of another class; the request does not reach the store.
  void respond_with_other_class(const std::string& class_name, std::size_t times = 0);
  // The record `builder` makes; the request does not reach the store.
  void respond_with(const std::string& class_name, Builder builder, std::size_t times = 0);
  // The store's own answer, passed through `edit` before it is returned.
  void edit_response(const std::string& class_name, std::function<void(cds::CRequestResponse&)> edit,
                     std::size_t times = 0);
  void clear_faults();

  // The next `n` opens fail (the store looks down).
  void refuse_connects(std::size_t n);
  std::size_t connect_attempts() const;
  // The client name of every open, refused ones included, in order.
  std::vector<std::string> client_names() const;
  // Closes every session opened so far, as a lost store would.
  void close_sessions();

  // Copies of every request sent, in order, from every session.
  std::vector<std::shared_ptr<cds::CRequestResponse>> requests() const;
  std::size_t count(const std::string& class_name) const;
  void clear_requests();

  // Every request of class T, in order.
  template <typename T>
  std::vector<std::shared_ptr<T>> sent() const {
    std::vector<std::shared_ptr<T>> out;
    for (auto& r : requests())
      if (auto t = std::dynamic_pointer_cast<T>(r)) out.push_back(t);
    return out;
  }
  // The last request of class T, or nullptr.
  template <typename T>
  std::shared_ptr<T> last() const {
    auto all = sent<T>();
    return all.empty() ? nullptr : all.back();
  }

  // Used by the decorated sessions.
  std::shared_ptr<cds::CRequestResponse> exchange(cds::Session& inner, const cds::CRequestResponse& request,
                                                  std::chrono::milliseconds timeout, bool* forwarded);

 private:
  struct Fault {
    enum Kind { Status, Drop, OtherClass, Build, Edit } kind;
    std::string class_name;
    std::uint32_t status = 0;
    Builder builder;
    std::function<void(cds::CRequestResponse&)> edit;
    std::size_t remaining = 0;  // 0: unlimited
  };
  void add(Fault f);
  bool take_fault(const std::string& class_name, Fault* out);

  std::shared_ptr<cds::Transport> inner_;
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  std::vector<std::shared_ptr<cds::CRequestResponse>> log_;
  std::size_t refuse_ = 0;
  std::size_t attempts_ = 0;
  std::vector<std::string> names_;
  std::vector<std::weak_ptr<cds::Session>> sessions_;
};

}  // namespace testing
}  // namespace zu
