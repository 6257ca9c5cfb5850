# The library's dynamic symbol table: the data-model classes, the flat
# functions and the three variables are there; internals are not.
execute_process(COMMAND nm -D -C --defined-only ${LIB} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE raw)

foreach(var size arrSize newptr)
  if(NOT raw MATCHES "[0-9a-f]+ [BD] ${var}\n")
    message(FATAL_ERROR "variable ${var} is not exported unmangled:\n${raw}")
  endif()
endforeach()

# Flat functions keep C linkage: their plain names are in the table.
foreach(fn callOpen callReadAll callReadAll6Axis callGetStatistics callGetStamps callGetEstimatedRate
           callGetRealtimeOffset callDeleteText callCalibration_Load callCalibration_Dispose
           callCalibration_Kind callCalibration_Identification callCalibration_Serial callCalibration_Inputs
           callCalibration_Matches callCalibration_Error callCalibration_ApplyForces callCalibration_ApplyWrenches
           callCalibration_ApplyWrenchesFromChannels callGetFlags callCalibration_Range
           callCalibration_ApplyForcesFlagged callCalibration_ApplyWrenchesFlagged
           callCalibration_ApplyWrenchesFromChannelsFlagged)
  if(NOT raw MATCHES "[0-9a-f]+ T ${fn}\n")
    message(FATAL_ERROR "flat function ${fn} is not exported unmangled")
  endif()
endforeach()

foreach(wanted
    "BrovaDAQ::getStamps(long*, int)"
    "BrovaDAQ::getFlags(unsigned int*, int)"
    "BrovaCalibration::setRange(int, std::vector<double, std::allocator<double> > const&)"
    "BrovaCalibration::applyWrench(BrovaPackage6D const&, bool, double (&) [6], unsigned int&) const"
    "BrovaDAQ::getEstimatedRate()"
    "BrovaDAQ::getRealtimeOffset()"
    "SensorConfig::setSpeed(int)"
    "BrovaPackage::setInvariant(BrovaPackage const&)"
    "BrovaPackage6D::operator/=(int)"
    "brova::alloc::reallocPackArray(BrovaPackage*&, int)"
    "brova::alloc::reallocPackArray(BrovaPackage6D*&, int)"
    "BPort::setText(char (&) [25], char const*)"
    "BrovaCalibration::BrovaCalibration(BrovaCalibration const&)"
    "BrovaCalibration::operator=(BrovaCalibration const&)"
    "BrovaCalibration::applyForce(BrovaPackage const&, int, bool, double (&) [3]) const"
    "BrovaCalibration::applyWrench(BrovaPackage6D const&, bool, double (&) [6]) const"
    "BrovaCalibration::applyWrench(BrovaPackage const&, BrovaPackage const&, BrovaPackage const&, BrovaPackage const&, bool, double (&) [6]) const"
    "BrovaCalibration::setTool(double const (&) [3], double const (&) [9])"
    "BrovaCalibration::tool(double (&) [3], double (&) [9]) const"
    "BrovaCalibration::isValid() const")
  string(FIND "${syms}" "${wanted}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not exported: ${wanted}")
  endif()
endforeach()

foreach(hidden "brova::arith" "brova::calibration" "BrovaCalibration_private" "BrovaDAQ_private" "ReaderThread" "BrovaPorts_private" "(anonymous namespace)")
  string(FIND "${syms}" "${hidden}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "internal symbol exported: ${hidden}")
  endif()
endforeach()
message(STATUS "exports ok")
