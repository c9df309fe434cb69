#pragma once
// The demonstration's example tree: a root sequence that makes an agent, then (inside
// KeepRunningUntilFailure and an unnamed Sequence) runs it on the blackboard's user input and
// leaves the response stream in the blackboard. One tick runs both nodes.
//
// The text is kept byte for byte as the demonstration has always used it: 779 characters in 18
// lines, a leading line break, lines 8 to 11 indented by 28 spaces and a tab, trailing spaces on
// lines 5, 7 to 11, and the four spaces of the last line with no line break after them.

#include <string_view>

namespace kelmora::demo {

// clang-format off
inline constexpr std::string_view kExampleTreeXml =
    "\n"
    "    <root BTCPP_format=\"4\">\n"
    "        <BehaviorTree ID=\"MainTree\">\n"
    "            <Sequence name=\"root_sequence\">\n"
    "                <CreateAgentOllama model_id=\"qwen3:30b\" agent=\"{agent}\" description=\"You are an enthusiastic news reporter with a flair for storytelling!\"/>\n"
    "                    <KeepRunningUntilFailure>  \n"
    "                        <Sequence>\n"
    "                            <GetStreamResponse \n"
    "                            \tagent=\"{agent}\" \n"
    "                            \tinstructions=\"{instructions}\" \n"
    "                            \tuser_input=\"{user_input}\" \n"
    "                            \tresponse_stream=\"{response_stream}\"/>     \n"
    "                        </Sequence>\n"
    "                    </KeepRunningUntilFailure>\n"
    "            </Sequence>\n"
    "        </BehaviorTree>\n"
    "    </root>\n"
    "    ";
// clang-format on

}  // namespace kelmora::demo
