// The XAR archive and installer package library.
#pragma once

#include "xara/archive.hpp"
#include "xara/error.hpp"
#include "xara/header.hpp"
#include "xara/pkg.hpp"
#include "xara/toc.hpp"
