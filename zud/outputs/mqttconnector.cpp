// mqttconnector.cpp -- the connect call off the event loop.
#include "outputs/mqttconnector.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "outputs/mosquittolib.h"

// Everything the thread works on; the thread and the connector share it,
// so that a thread outliving its connector still has its descriptor.
struct mqttconnector::job {
  std::unique_ptr<mqttclient> client;
  std::string host;
  int port = 0;
  int keepalive = 0;
  int code = 0;
  int error = 0;
  int done = -1;           // eventfd, written once when the call has returned
  bool abandoned = false;  // the connector went first: the client is left alone

  ~job() {
    // Run by whichever holder lets go last; the shared count orders the
    // connector's `abandoned` before it.
    if (abandoned) {
      [[maybe_unused]] mqttclient *left = client.release();
    }
    if (done >= 0) close(done);
  }
};

void mqttconnector::run(const std::shared_ptr<job> &work) {
  errno = 0;
  work->code = mosq().connect_bind_async(work->client->handle(), work->host.c_str(), work->port,
                                         work->keepalive, nullptr);
  work->error = errno;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(work->done, &one, sizeof one);
}

mqttconnector::~mqttconnector() {
  if (!thread_.joinable()) return;
  pollfd ready{job_->done, POLLIN, 0};
  if (poll(&ready, 1, 0) == 1) {
    thread_.join();  // it is done: the client goes with the job
    return;
  }
  // Still looking the broker up: the process does not wait for it.
  job_->abandoned = true;
  thread_.detach();
}

bool mqttconnector::begin(std::unique_ptr<mqttclient> client, const std::string &host,
                          int port, int keepalive) {
  auto work = std::make_shared<job>();
  work->client = std::move(client);
  work->host = host;
  work->port = port;
  work->keepalive = keepalive;
  work->done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (work->done < 0) return false;
  try {
    thread_ = std::thread(run, work);
  } catch (const std::system_error &failure) {
    errno = failure.code().value();
    return false;
  }
  job_ = std::move(work);
  return true;
}

int mqttconnector::fd() const { return job_ != nullptr ? job_->done : -1; }

mqttconnector::outcome mqttconnector::collect() {
  outcome result;
  if (job_ == nullptr) return result;
  thread_.join();
  result.client = std::move(job_->client);
  result.code = job_->code;
  result.error = job_->error;
  job_.reset();
  return result;
}
