#include "client/outcomes.h"

#include "log/log.h"

namespace {

struct Row {
  plat::Status status;
  int number;  // the C runtime's errno value that the line shows
  const char* text;
};

constexpr Row kOpenRows[] = {
    {plat::Status::NotFound, 2, "File or path not found."},
    {plat::Status::Denied, 13,
     "Given path is a directory, or file is read-only, but an open-for-writing operation was "
     "attempted"},
    // A sharing conflict is reported as EACCES by the Windows runtime.
    {plat::Status::Busy, 13,
     "Given path is a directory, or file is read-only, but an open-for-writing operation was "
     "attempted"},
    {plat::Status::Exists, 17,
     "_O_CREAT and _O_EXCL flags were specified, but filename already exists."},
    {plat::Status::Invalid, 22, "Invalid oflag or shflag argument."},
    {plat::Status::TooMany, 24, "No more file handles available."},
};

constexpr Row kWriteRows[] = {
    {plat::Status::BadHandle, 9,
     "The file handle is invalid or the file is not opened for writing"},
    {plat::Status::NoSpace, 28, "There is not enough space left on the device for the operation."},
};

template <std::size_t N>
void log_row(const char* fn, const Row (&rows)[N], plat::Status s) {
  for (const Row& row : rows) {
    if (row.status == s) {
      LOG_Print(LOG_CLI_ERROR, "%s errno=[%d] error=[%s]", fn, row.number, row.text);
      return;
    }
  }
}

}  // namespace

void zc::log_open_failure(const char* fn, plat::Status s) {
  log_row(fn, kOpenRows, s);
}

void zc::log_write_failure(const char* fn, plat::Status s) {
  log_row(fn, kWriteRows, s);
}

void zc::log_delete_failure(const char* fn, const char* name, plat::Status s) {
  if (s == plat::Status::NotFound) {
    LOG_Print(LOG_CLI_ERROR, "%s borrando archivo %s, ubicacion erronea", fn, name);
  } else if (s == plat::Status::Denied || s == plat::Status::Busy) {
    LOG_Print(LOG_CLI_ERROR, "%s borrando archivo %s, no pudo accederlo", fn, name);
  }
}

const char* zc::status_text(plat::Status s) {
  switch (s) {
    case plat::Status::Ok:
      return "sin error";
    case plat::Status::NotFound:
      return "no existe";
    case plat::Status::Denied:
      return "acceso denegado";
    case plat::Status::Busy:
      return "en uso por otro proceso";
    case plat::Status::Exists:
      return "ya existe";
    case plat::Status::Invalid:
      return "argumento invalido";
    case plat::Status::TooMany:
      return "demasiados archivos abiertos";
    case plat::Status::BadHandle:
      return "archivo no abierto";
    case plat::Status::NoSpace:
      return "disco lleno";
    case plat::Status::TimedOut:
      return "tiempo de espera agotado";
    case plat::Status::Closed:
      return "conexion cerrada";
    case plat::Status::Failed:
      break;
  }
  return "error de entrada/salida";
}
