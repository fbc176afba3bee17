#pragma once

// Placeholder: filled in by the unit that owns this header.
namespace oxl_api {}
