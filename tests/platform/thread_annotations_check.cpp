// Compiled (never run) by the thread_annotations.* tests under clang -Wthread-safety -Werror: as it
// stands it must compile; with KIVO_BREAK=n it must be rejected for the fault named below.
#include <condition_variable>

#include "kivo/thread_annotations.h"

namespace {

class Account {
 public:
  void deposit(int amount) {
    kivo::MutexLock lock(mutex_);
    addLocked(amount);
    changed_.notify_all();
  }
  void awaitFunds() {
    kivo::MutexLock lock(mutex_);
    while (balance_ == 0) changed_.wait(lock);
    lock.unlock();
    lock.lock();
    balance_ = 0;
  }
  int audited() {
    kivo::ReaderLock lock(auditMutex_);
    return audits_;
  }
  void audit() {
    kivo::WriterLock lock(auditMutex_);
    ++audits_;
  }

#if KIVO_BREAK == 1
  void fault() { balance_ = 1; }  // writing variable 'balance_' requires holding mutex
#elif KIVO_BREAK == 2
  void fault() { addLocked(1); }  // calling function 'addLocked' requires holding mutex
#elif KIVO_BREAK == 3
  void fault() {                  // writing variable 'balance_' requires holding mutex
    kivo::MutexLock lock(mutex_);
    lock.unlock();
    balance_ = 1;
  }
#elif KIVO_BREAK == 4
  void fault() {                  // writing variable 'audits_' requires holding shared mutex 'auditMutex_' exclusively
    kivo::ReaderLock lock(auditMutex_);
    ++audits_;
  }
#endif

 private:
  void addLocked(int amount) KIVO_REQUIRES(mutex_) { balance_ += amount; }

  kivo::Mutex mutex_;
  std::condition_variable_any changed_;
  int balance_ KIVO_GUARDED_BY(mutex_) = 0;
  kivo::SharedMutex auditMutex_;
  int audits_ KIVO_GUARDED_BY(auditMutex_) = 0;
};

}  // namespace

int main() {
  Account account;
  account.deposit(1);
  account.awaitFunds();
  account.audit();
  return account.audited() == 1 ? 0 : 1;
}
