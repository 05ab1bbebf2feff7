"""Login: part of the core, since both services use it."""

from . import messages
from .exchange import Response, Route


def _login(emu, req, match):
    override = emu.config.get("login_reply")
    if override is not None:
        body = str(override)
        if "{token}" in body:
            try:
                user = messages.parse_check_credential_req(req.body)["userName"]
            except messages.XmlError:
                user = ""
            body = body.replace("{token}", emu.issue_token(user))
        return Response(int(emu.config.get("login_status", 200)), body)
    try:
        cred = messages.parse_check_credential_req(req.body)
    except messages.XmlError as exc:
        return Response(400, messages.generic_resp("Malformed login request: %s" % exc))
    ok = emu.check_password(cred["userName"], cred["password"])
    with emu.lock:
        emu.state.setdefault("logins", []).append(
            {"userName": cred["userName"], "extraCredential": cred["extraCredential"], "ok": ok})
    if req.fault is not None and req.fault.get("fault") == "error_entry":
        return Response(200, messages.check_credential_resp(
            "", [req.fault.get("text", "Injected login error")]))
    if not ok:
        return Response(200, messages.check_credential_resp(
            "", ["Invalid user name or password"]))
    return Response(200, messages.check_credential_resp(emu.issue_token(cred["userName"])))


def routes(emu):
    return [Route("POST", r"/api/Login", "login", _login, needs_auth=False)]
