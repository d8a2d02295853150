// The agent's entry point: the application loop with AppDelegate as the application's delegate.
#include <memory>

#include "app_delegate.h"
#include "tessaly/appkit/application.h"

int main(int argc, char** argv) {
  return tessaly::appkit::NSApplicationMain(argc, argv,
                                            [] { return std::make_shared<tessaly::app::AppDelegate>(); });
}
