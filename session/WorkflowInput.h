// The input of a web-console workflow request.
#ifndef ZUCLOUD_SESSION_WORKFLOW_INPUT_H
#define ZUCLOUD_SESSION_WORKFLOW_INPUT_H

#include <string>

namespace zu {

// Builds, on one line and without a declaration:
//   <Workflow_StartWorkflow><options><inputs>...</inputs></options>
//   <outputFormat>0</outputFormat></Workflow_StartWorkflow>
// Text values are XML-escaped; ordinary values come out byte for byte as
// given.
class WorkflowInput {
 public:
  WorkflowInput();

  // <name>value</name>
  WorkflowInput& Text(const char* name, const std::string& value);
  template <typename N>
  WorkflowInput& Number(const char* name, N value) {
    return Element(name, std::to_string(value));
  }

  // The whole request; the builder is spent.
  std::string Finish();

 private:
  WorkflowInput& Element(const char* name, const std::string& text);
  std::string m_body;
};

}  // namespace zu

#endif  // ZUCLOUD_SESSION_WORKFLOW_INPUT_H
