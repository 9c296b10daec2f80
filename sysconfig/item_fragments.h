// The page's descriptions of the browser-setting and certificate items: one
// element per item, built from the parsed catalogue (the utility list). Each
// is empty when the catalogue did not parse, the list is missing or no entry
// has the id.
#pragma once

#include "config/component_lists.h"

#include <functional>
#include <string>

class XmlNode;

// "TrustList" entry: <site id FileType info url Oper></site> and a line feed.
std::wstring TrustListFragment(const XmlNode* catalogue, int id);
// "OpenWindowSite" entry: <site id strType FileType info></site> and a line feed.
std::wstring PopupSiteFragment(const XmlNode* catalogue, int id, const std::wstring& type);
// "IEOptimizer" entry: <site id Type falg FileType name info></site> and a line feed.
std::wstring OptimizerFragment(const XmlNode* catalogue, int id, const std::wstring& type,
                               const std::wstring& flag);
// "RootCert" entry: <cert id Type falg FileType name info></cert>, no line feed.
std::wstring CertFragment(const XmlNode* catalogue, int id, const std::wstring& type,
                          const std::wstring& flag);

// The list texts' hooks: the fragments above and the root-certificate status,
// with the control and application statuses the caller decides.
ListHooks
ListHooksWithFragments(std::function<int(const XmlNode* catalogue, int id)> controlStatus,
                       std::function<int(const XmlNode* catalogue, int id)> applicationStatus);
