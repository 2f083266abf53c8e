// The settings every connection of a serve process shares.
#include "server/served_app.hpp"

#include <cstring>

#include "py/call.hpp"
#include "wsgi/environ.hpp"

namespace zelweb {

bool ServedApp::set(const ServeConfig& config, PyObject* listener) {
    app_ = Ref::incref(config.app.get());
    keep_alive_ = Ref::incref(config.keep_alive.get());
    access_log_ = Ref::incref(config.access_log.get());
    std::memcpy(upload_prefix_, config.upload_prefix, sizeof upload_prefix_);
    options_.keep_alive = keep_alive_.get();
    options_.keep_alive_seconds = config.keep_alive_seconds;
    options_.tls = config.tls;
    options_.upload_prefix = upload_prefix_;
    options_.max_body = config.max_body;
    options_.access_log = access_log_.get();
    site_ = config.static_site;
    options_.static_site = site_.get();
    trusted_ = config.trusted;
    if (!trusted_.empty()) options_.trusted = &trusted_;
    if (!config.wsgi) return true;
    // The environment's constant part, and the listening address for
    // requests that name no host.
    std::memcpy(root_path_, config.root_path_text, config.root_path_size);
    wsgi_.root_path = std::string_view(root_path_, config.root_path_size);
    Ref bound = call_method_named(listener, "getsockname");
    if (!bound) return false;
    if (!PyTuple_Check(bound.get()) || PyTuple_GET_SIZE(bound.get()) < 2) {
        PyErr_SetString(PyExc_OSError, "getsockname gave no address");
        return false;
    }
    server_name_ = Ref::incref(PyTuple_GET_ITEM(bound.get(), 0));
    server_port_ = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(bound.get(), 1)));
    environ_base_ = environ_template(config.root_path.get(), config.workers > 1, config.tls);
    if (!server_port_ || !environ_base_) return false;
    wsgi_.app = app_.get();
    wsgi_.environ_base = environ_base_.get();
    wsgi_.server_name = server_name_.get();
    wsgi_.server_port = server_port_.get();
    options_.wsgi = &wsgi_;
    return true;
}

}  // namespace zelweb
