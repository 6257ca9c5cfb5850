#include "brovasensor.h"

BrovaSensor::BrovaSensor() : offset() {}

BrovaSensor6D::BrovaSensor6D() : offset() {}
