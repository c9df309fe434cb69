#include <kelmora/core/node_class.hpp>
#include <string>

namespace kelmora::core {

std::string unknown_node_class_message(std::string_view class_name) {
  return "节点类 " + std::string(class_name) +
         " 必须继承自ControlNode、DecoratorNode、ConditionNode、SimpleActionNode或"
         "StatefulActionNode";
}

}  // namespace kelmora::core
