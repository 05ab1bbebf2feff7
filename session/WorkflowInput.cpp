#include "session/WorkflowInput.h"

#include <utility>

#include "platform/xml/XmlDom.h"

namespace zu {

WorkflowInput::WorkflowInput() : m_body("<Workflow_StartWorkflow><options><inputs>") {}

WorkflowInput& WorkflowInput::Text(const char* name, const std::string& value) {
  return Element(name, xml::Escape(value));
}

WorkflowInput& WorkflowInput::Element(const char* name, const std::string& text) {
  m_body += '<';
  m_body += name;
  m_body += '>';
  m_body += text;
  m_body += "</";
  m_body += name;
  m_body += '>';
  return *this;
}

std::string WorkflowInput::Finish() {
  m_body += "</inputs></options><outputFormat>0</outputFormat></Workflow_StartWorkflow>";
  return std::move(m_body);
}

}  // namespace zu
