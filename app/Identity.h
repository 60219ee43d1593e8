#pragma once
// The one place that tells Qt who the application is.

// Sets the application's name, its organisation and domain (which place the
// settings file) and its desktop file name. Call right after the application
// object is created, before anything reads settings or standard locations.
void SetApplicationIdentity();
