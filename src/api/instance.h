// The library-wide references behind the exports.
#pragma once

class MUDPUnit;
class QCoreApplication;

namespace api {

MUDPUnit *unit();                   // the current unit, or null
QCoreApplication *ownApplication(); // the application object the library made, or null

} // namespace api
