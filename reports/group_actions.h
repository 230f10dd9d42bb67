// The maker's marks on a group's page: "fixed in build N", and its undo.
// Plain HTML forms (POST, no script), guarded against requests another site
// makes the maker's browser send: a form token derived from a secret of this
// process and the page's own session cookie (HttpOnly, SameSite=Strict),
// which another site can neither read nor send; and, when the browser says
// where a request comes from (Origin, Sec-Fetch-Site), it must be this page.
// With a page token, the pre-routing check lets only a signed-in maker here.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>

#include "reports/store.h"

namespace reports {

// HMAC-SHA256 of `message` under `key`, in lowercase hex: the page's login
// cookie (keyed by the token) and its form tokens (keyed by a secret of the
// process) are both made so.
std::string HmacHex(const void* key, size_t keySize, const std::string& message);

// Compares without stopping at the first difference, so that the time taken
// does not tell how much of a guess was right.
bool SameSecret(const std::string& given, const std::string& expected);

class FormGuard {
 public:
  // A fresh random secret: a restart ends every form token. `secure`: the
  // page is reached over TLS, and its session cookie says so as the login
  // cookie does.
  explicit FormGuard(bool secure = false);

  // The form token of the request's session; a session cookie is set on
  // `res` when the request had none.
  std::string TokenFor(const httplib::Request& req, httplib::Response& res) const;
  // Whether a form's POST may act; `why` when not.
  bool Allows(const httplib::Request& req, std::string* why) const;

 private:
  std::string Derive(const std::string& session) const;
  unsigned char secret_[32];
  bool secure_;
};

// The forms for `group`'s page.
std::string GroupForms(const Group& group, const std::string& formToken);

// POST /group/fixed and /group/reopen.
void AddGroupActions(httplib::Server& server, ReportStore& store,
                     std::shared_ptr<const FormGuard> guard);

}  // namespace reports
