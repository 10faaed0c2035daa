// Upload of one local file to S3 with the client's managed upload. Callers go
// on whatever happens: failures are logged, never raised.
#include "glue/glue.hpp"

using namespace glue;

namespace {
bool initialised = false;

struct S3BackupCmd {
    py::object client;
    std::string root;
    py::object bucket;
    std::string path;

    // Key: the file's path relative to `root`, with forward slashes.
    std::string key() const {
        py::object ospath = importModule("os.path");
        std::string rel = ospath.attr("relpath")(path, root).cast<std::string>();
        if (rel.rfind("./", 0) == 0) rel = rel.substr(2);
        return rel;
    }

    bool uploadAFile() {
        py::object lg = logger();
        if (client.is_none()) {
            error(lg, "  **Error** no S3 client to upload " + path + " to " + pyText(bucket));
            return false;
        }
        if (!truthy(importModule("os.path").attr("isfile")(path))) {
            error(lg, "  **Error** file not found for upload: " + path);
            return false;
        }
        std::string k = key();
        try {
            client.attr("upload_file")(path, bucket, k);
        } catch (py::error_already_set &e) {
            if (isExit(e)) throw;
            error(lg, "  **Error** failed to upload " + path + " to s3://" + pyText(bucket) + "/" + k + ": " +
                          errorText(e));
            return false;
        }
        info(lg, "  uploaded " + path + " to s3://" + pyText(bucket) + "/" + k);
        return true;
    }
};
}  // namespace

PYBIND11_MODULE(s3, m) {
    moduleStartup(initialised, modules::kS3);
    m.doc() = "Upload of one local file to S3.";
    py::class_<S3BackupCmd>(m, "S3BackupCmd", R"pbdoc(
        The upload of the file ``path`` to ``bucket`` under its path relative
        to ``root``.
    )pbdoc")
        .def(py::init([](py::object client, std::string root, py::object bucket, std::string path) {
                 return S3BackupCmd{client, root, bucket, path};
             }),
             "s3_client"_a, "root"_a, "bucket"_a, "path"_a,
             "The upload of `path` with `s3_client`; nothing is sent yet.")
        .def("key", &S3BackupCmd::key, "The object key: the file's path relative to root, with forward slashes.")
        .def("uploadAFile", &S3BackupCmd::uploadAFile, R"pbdoc(
        Uploads the file; returns True when done. A missing client or file or
        a failed upload is one error line and False, never an exception.
    )pbdoc");
}
