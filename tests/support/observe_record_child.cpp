// A program the recorder tests kill mid-run: it records three busy trees to the database named
// on its command line and ticks them until it is killed.

#include <cstdio>
#include <kelmora/engine/trigger/mthread.hpp>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DATABASE\n", argv[0]);
    return 2;
  }
  kelmora::ThreadEngine engine;
  const std::string xml = R"(<root BTCPP_format="4"><BehaviorTree ID="Busy"><Sequence>
      <AlwaysSuccess/><Inverter><AlwaysFailure/></Inverter><AlwaysSuccess/>
    </Sequence></BehaviorTree></root>)";
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(engine.create_tree_from_text(xml));
  engine.start_recording(argv[1]);
  std::vector<std::thread> tickers;
  for (const auto& id : ids) {
    tickers.emplace_back([&engine, id] {
      for (;;) engine.tick_n_times(id, 100);
    });
  }
  for (auto& t : tickers) t.join();
}
