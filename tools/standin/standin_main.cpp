// kelmora_standin_server: the stand-in model server as a program, for scripts/demo.sh and manual
// tries on machines without an Ollama server.
//
//   kelmora_standin_server [--host 127.0.0.1] [--port 0] [--fail NAME] [--piece-delay-ms N]
//                          [--piece-chars N] [--thinking-lines N]
//   kelmora_standin_server --print-ollama-url
//
// --print-ollama-url prints the base URL of the Ollama server that OLLAMA_HOST names (as kelmora's
// client reads it) and exits, so scripts probe the same server the client would use.
//
// Prints "listening on HOST:PORT" as its first line on standard output (flushed at once), so a
// script can learn the port it got with --port 0. Runs until SIGTERM or SIGINT; standard input is
// not watched, so it can run in the background of a script.

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <kelmora/llm/server_address.hpp>
#include <string>
#include <string_view>

#include "standin/standin_server.hpp"

namespace {

constexpr std::string_view kUsage =
    "usage: kelmora_standin_server [--host ADDRESS] [--port N] [--fail NAME] "
    "[--piece-delay-ms N] [--piece-chars N] [--thinking-lines N]\n"
    "       kelmora_standin_server --print-ollama-url\n"
    "  --fail NAME: 404, 500, 400, 400-text, error-line, malformed, no-done, stall, long-line,\n"
    "               silent, reset, none\n"
    "  A chat whose model is named fail:NAME fails that way too; one named think:NAME thinks\n"
    "  (--thinking-lines lines of it, 3 by default) before it answers.\n";

[[noreturn]] void usage_error(const std::string& problem) {
  std::cerr << "kelmora_standin_server: " << problem << "\n" << kUsage;
  std::exit(2);
}

unsigned long number(std::string_view flag, const char* text, unsigned long max) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value > max) {
    usage_error(std::string(flag) + " needs a number up to " + std::to_string(max));
  }
  return value;
}

kelmora::testing::StandinOptions parse_arguments(int argc, char** argv) {
  kelmora::testing::StandinOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (flag == "--print-ollama-url") {
      try {
        std::cout << kelmora::llm::server_from_environment().url() << "\n";
        std::exit(0);
      } catch (const std::exception& e) {
        std::cerr << "kelmora_standin_server: " << e.what() << "\n";
        std::exit(2);
      }
    }
    if (i + 1 >= argc) usage_error("unknown or incomplete argument " + std::string(flag));
    const char* value = argv[++i];
    if (flag == "--host") {
      options.host = value;
    } else if (flag == "--port") {
      options.port = static_cast<std::uint16_t>(number(flag, value, 65535));
    } else if (flag == "--fail") {
      auto failure = kelmora::testing::standin_failure_from_name(value);
      if (!failure) usage_error("unknown failure " + std::string(value));
      options.failure = *failure;
    } else if (flag == "--piece-delay-ms") {
      options.piece_delay_ms = static_cast<unsigned>(number(flag, value, 60'000));
    } else if (flag == "--piece-chars") {
      options.piece_chars = number(flag, value, 1'000'000);
    } else if (flag == "--thinking-lines") {
      options.thinking_lines = number(flag, value, 10'000);
    } else {
      usage_error("unknown argument " + std::string(flag));
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse_arguments(argc, argv);
  // Block the stop signals before any thread starts, so every thread inherits the mask and the
  // main thread alone receives them through sigwait.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  try {
    kelmora::testing::StandinServer server(options);
    std::cout << "listening on " << server.address() << std::endl;
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.stop();
  } catch (const std::exception& e) {
    std::cerr << "kelmora_standin_server: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
