// The widget gallery: one window per widget, showing it in its states. Used by the gallery
// program and by the tests that save the pictures.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>
#include <utility>
#include <vector>

struct GalleryPage {
    QString name;                    // file name of its picture, without ".png"
    std::unique_ptr<QWidget> window; // shown and laid out, ready to be grabbed
};

// Builds every page. sampleFolder receives the small files the file widgets show.
std::vector<GalleryPage> BuildGalleryPages(const QString& sampleFolder);
