#pragma once

#include <QMainWindow>

namespace Ui {
class MainWindow;
}

// The program's only window: a small disabled frame with its title and icon.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    Ui::MainWindow *ui;
};
