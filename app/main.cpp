// The agent's entry point: the application loop with AppDelegate as the application's delegate.
#include <memory>

#include "app_delegate.h"
#include "tessaly/appkit/application.h"
#include "tessaly/xpc/options.h"

int main(int argc, char** argv) {
  // Every peer takes descriptors; a user session's soft limit of 1,024 would turn peers away long before the
  // system's hard limit does.
  tessaly::xpc::raiseDescriptorLimit();
  return tessaly::appkit::NSApplicationMain(argc, argv, [] { return std::make_shared<tessaly::app::AppDelegate>(); });
}
